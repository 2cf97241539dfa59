#include <gtest/gtest.h>

#include <sstream>

#include "midi/midi_cli.h"
#include "midi/midi_control_setup.h"
#include "midi_test_support.h"
#include "prefs/keys.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::midi;
using lumeno::testing::FakeMIDIBackend;

namespace {

class MIDICommandLineTest : public ::testing::Test, protected lumeno::testing::MIDIHarness {
protected:
    // Enabled with "Pad" (endpoint 5) saved and listed, connected once the auto-connect ran.
    MIDIController& makeConnected() {
        backend_->setSources({FakeMIDIBackend::source(5, "Pad")});
        defaults_->setBool(prefs::key::kMidiEnabled, true);
        defaults_->setString(prefs::key::kSelectedMIDIDevice, "Pad");
        auto& midi = make();
        queue_.advance(500ms);
        return midi;
    }
    void learn(MIDILearningState target, std::chrono::milliseconds timeout) {
        learnMIDICommand(controller_, target, queue_, notifications_, log_, timeout, [this](int s) { status_ = s; });
    }
    std::optional<int> status_;
};

TEST_F(MIDICommandLineTest, ListPrintsDisplayNamesOfNamedSourcesInOrder) {
    backend_->setSources({FakeMIDIBackend::source(5, "UM-ONE", "Roland"), {6, std::nullopt, "Acme"},
                          FakeMIDIBackend::source(7, "Midi Through Port-0")});
    std::ostringstream out;
    EXPECT_EQ(listMIDISources(*backend_, out, log_), 0);
    EXPECT_EQ(out.str(), "Roland UM-ONE\nMidi Through Port-0\n");
    EXPECT_EQ(backend_->calls(), (std::vector<std::string>{"dispose client"}));
}

TEST_F(MIDICommandLineTest, ListFailsWhenTheMIDISystemCannotBeOpened) {
    backend_->clientStatus = -2;
    std::ostringstream out;
    EXPECT_EQ(listMIDISources(*backend_, out, log_), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(log_.contains("Failed to create MIDI client: -2 (fake failure)"));
}

TEST_F(MIDICommandLineTest, LearnStoresTheNextControlFromTheSelectedSource) {
    auto& midi = makeConnected();
    learn(MIDILearningState::learningStop, 60s);
    queue_.runUntilIdle();
    EXPECT_FALSE(status_);
    backend_->deliver({0xB1, 20, 5});
    queue_.runUntilIdle();
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(midi.stopCommand(), (MIDICommand{MIDIMessageType::controlChange, 1, 20, 64}));
    EXPECT_TRUE(defaults_->dataForKey(prefs::key::kMidiStopCommand));
    queue_.advance(61s);  // the cancelled time-out stays quiet
    EXPECT_EQ(status_, 0);
    EXPECT_FALSE(log_.contains("MIDI: Cancelled learning"));
}

TEST_F(MIDICommandLineTest, LearnGivesUpAfterTheTimeoutAndCancelsLearning) {
    auto& midi = makeConnected();
    learn(MIDILearningState::learningStart, 30s);
    queue_.advance(29999ms);
    EXPECT_FALSE(status_);
    queue_.advance(1ms);
    EXPECT_EQ(status_, 1);
    EXPECT_EQ(midi.learningState(), MIDILearningState::idle);
    EXPECT_TRUE(log_.contains("MIDI: Cancelled learning"));
    EXPECT_TRUE(log_.contains("MIDI: Nothing learned: no MIDI input within 30.0 s"));
}

TEST_F(MIDICommandLineTest, LearnRefusesAtOnceWhenItCouldNeverHearAnything) {
    struct Case {
        bool enabled;
        std::optional<std::string> device;
        midi::MIDIStatus clientStatus;
        const char* reason;
    };
    const Case cases[] = {
        {false, "Pad", 0, "MIDI: Cannot learn: MIDI control is off (set midiEnabled=true)"},
        {true, std::nullopt, 0, "MIDI: Cannot learn: no MIDI source selected (set selectedMIDIDevice=NAME)"},
        {true, "Pad", -2, "MIDI: Cannot learn: no MIDI input port"},
    };
    for (const auto& c : cases) {
        backend_->clientStatus = c.clientStatus;
        defaults_->setBool(prefs::key::kMidiEnabled, c.enabled);
        defaults_->setString(prefs::key::kSelectedMIDIDevice, c.device);
        make();
        status_.reset();
        learn(MIDILearningState::learningStart, 60s);
        queue_.runUntilIdle();
        EXPECT_EQ(status_, 1) << c.reason;
        EXPECT_TRUE(log_.contains(c.reason));
        EXPECT_EQ(controller_->learningState(), MIDILearningState::idle);
    }
}

TEST_F(MIDICommandLineTest, SetupScansAt100msLogsSummaryAt300msAndHopsCallbacksToTheMainQueue) {
    backend_->setSources({FakeMIDIBackend::source(5, "UM-ONE", "Roland"), FakeMIDIBackend::source(6, "Pad")});
    std::vector<std::string> actions;
    setupMIDIControl([this] { make(); return controller_; }, queue_, log_,
                     [&] { actions.push_back("start"); }, [&] { actions.push_back("stop"); },
                     [&] { actions.push_back("toggle"); });
    auto lines = log_.lines();
    EXPECT_EQ(lines.front(), "🎹 Setting up MIDI control...");
    EXPECT_EQ(lines.back(), "✅ MIDI control setup complete");

    const int scans = backend_->scanCount();
    queue_.advance(99ms);
    EXPECT_EQ(backend_->scanCount(), scans);
    queue_.advance(1ms);
    EXPECT_EQ(backend_->scanCount(), scans + 1);
    log_.clear();
    queue_.advance(199ms);
    EXPECT_FALSE(log_.containsPrefix("🎹 MIDI enabled: "));
    queue_.advance(1ms);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{"🎹 MIDI enabled: false", "🎹 Selected device: none",
                                                      "🎹 Connected devices: 2", "   - Roland UM-ONE", "   - Pad"}));

    controller_->setStartCommand(MIDICommand::learned(MIDIMessageType::noteOn, 0, 60));
    controller_->handleMIDIMessage(MIDIMessageType::noteOn, 0, 60, 100);
    controller_->onStreamingToggle()();
    EXPECT_TRUE(actions.empty());
    queue_.runUntilIdle();
    EXPECT_EQ(actions, (std::vector<std::string>{"start", "toggle"}));
    EXPECT_TRUE(log_.contains("🎹 MIDI: Start streaming command received"));
    EXPECT_TRUE(log_.contains("🎹 MIDI: Toggle streaming command received"));
}

}  // namespace
