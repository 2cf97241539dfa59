#include <gtest/gtest.h>

#include <sstream>

#include "midi/midi_cli.h"
#include "midi/midi_control_setup.h"
#include "midi_test_support.h"

using namespace std::chrono_literals;
using namespace lumeno::midi;

namespace {

class MIDICommandLineTest : public ::testing::Test, protected lumeno::testing::MIDIHarness {};

TEST_F(MIDICommandLineTest, ListPrintsDisplayNamesOfNamedSourcesInOrder) {
    backend_->found = {{5, "UM-ONE", "Roland"}, {6, std::nullopt, "Acme"}, {7, "Midi Through Port-0"}};
    std::ostringstream out;
    EXPECT_EQ(listMIDISources(*backend_, out, log_), 0);
    EXPECT_EQ(out.str(), "Roland UM-ONE\nMidi Through Port-0\n");
    EXPECT_EQ(backend_->calls, (std::vector<std::string>{"dispose client"}));
}

TEST_F(MIDICommandLineTest, LearnStoresTheNextInputRefusesWithoutASourceAndTimesOut) {
    struct Case {
        std::optional<std::string> device;
        std::vector<std::uint8_t> input;  // none: nothing arrives
        std::optional<int> earlyStatus;   // before the 30 s time-out
        int status;
        const char* line;
    };
    const Case cases[] = {
        {std::nullopt, {}, 1, 1, "MIDI: Cannot learn: no MIDI source selected (set selectedMIDIDevice=NAME)"},
        {"Pad", {0xB1, 20, 5}, 0, 0, "MIDI: Learned stop command: CC20 on Ch2"},
        {"Pad", {}, std::nullopt, 1, "MIDI: Nothing learned: no MIDI input within 30.0 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        log_.clear();
        backend_ = std::make_shared<lumeno::testing::FakeMIDIBackend>();
        backend_->found = {{5, "Pad"}};
        storeEnabledDevice(c.device);
        defaults_->remove(lumeno::prefs::key::kMidiStopCommand);
        auto& midi = make();
        queue_.advance(500ms);  // the auto-connect
        std::optional<int> status;
        learnMIDICommand(controller_, MIDILearningState::learningStop, queue_, notifications_, log_, 30s,
                         [&](int s) { status = s; });
        if (!c.input.empty()) backend_->deliver(c.input);
        queue_.advance(29999ms);
        EXPECT_EQ(status, c.earlyStatus);
        queue_.advance(1ms);
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(log_.contains(c.line));
        EXPECT_EQ(midi.stopCommand(),
                  c.status ? std::nullopt : std::optional(MIDICommand{MIDIMessageType::controlChange, 1, 20, 64}));
    }
}

// The controller fires on the MIDI receive path; the application's actions run on main only.
TEST_F(MIDICommandLineTest, SetupHopsTheStreamingCallbacksToTheMainQueue) {
    std::vector<std::string> actions;
    setupMIDIControl([this] { make(); return controller_; }, queue_, log_,
                     [&] { actions.push_back("start"); }, [&] { actions.push_back("stop"); },
                     [&] { actions.push_back("toggle"); });
    controller_->setStopCommand(MIDICommand::learned(MIDIMessageType::noteOn, 0, 60));
    controller_->handleMIDIMessage(MIDIMessageType::noteOn, 0, 60, 100);
    controller_->onStreamingToggle()();
    EXPECT_TRUE(actions.empty());
    queue_.runUntilIdle();
    EXPECT_EQ(actions, (std::vector<std::string>{"stop", "toggle"}));
}

}  // namespace
