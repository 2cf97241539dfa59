#include <gtest/gtest.h>

#include <thread>

#include "midi_test_support.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::midi;
using Calls = std::vector<std::string>;

namespace {

constexpr auto CC = MIDIMessageType::controlChange;
constexpr auto Note = MIDIMessageType::noteOn;

class MIDIControllerTest : public ::testing::Test, protected lumeno::testing::MIDIHarness {
protected:
    // Enabled, with sources "Pad" (endpoint 5) and "Acme Keys" (endpoint 6) listed.
    MIDIController& makeWithSources() {
        backend_->found = {{5, "Pad"}, {6, "Keys", "Acme"}};
        defaults_->setBool(prefs::key::kMidiEnabled, true);
        auto& midi = make();
        queue_.runUntilIdle();
        midi.setOnStreamingStart([this] { fired_.push_back("start"); });
        midi.setOnStreamingStop([this] { fired_.push_back("stop"); });
        return midi;
    }
    std::vector<std::string> fired_;
};

// No sequencer (no snd-seq module, as on this machine): the stored commands still load, no wait
// for sources begins, and the saved choice is kept for a start that has one.
TEST_F(MIDIControllerTest, StoredCommandsLoadAndTheSavedChoiceStaysWithoutASequencer) {
    defaults_->setData(prefs::key::kMidiStartCommand, "garbage");
    defaults_->setData(prefs::key::kMidiStopCommand, R"({"type":"Note","channel":9,"data1":36})");
    storeEnabledDevice("Pad");
    backend_->clientStatus = -2;
    auto& midi = make();
    EXPECT_FALSE(midi.startCommand());
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kMidiStartCommand));
    EXPECT_EQ(midi.stopCommand(), (MIDICommand{Note, 9, 36, std::nullopt}));
    queue_.advance(10s);
    EXPECT_EQ(defaults_->stringForKey(prefs::key::kSelectedMIDIDevice), "Pad");
    EXPECT_EQ(backend_->scans, 0);
    midi.setStopCommand(std::nullopt);
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kMidiStopCommand));
}

TEST_F(MIDIControllerTest, OnlyTheFirstPacketsNoteOnOrControlChangeActsAndOnlyOnTheMainQueue) {
    auto& midi = makeWithSources();
    midi.setStartCommand(MIDICommand::learned(Note, 0, 60));
    midi.setStopCommand(MIDICommand::learned(CC, 2, 7));
    struct Case {
        MIDIPacketList packets;
        const char* expected;  // "" for nothing
    };
    const Case cases[] = {
        {{{0, 3, {0x90, 60, 100}}}, "start"},
        {{{0, 3, {0x90, 60, 0}}}, ""},  // velocity 0 is a release
        {{{0, 3, {0x80, 60, 100}}}, ""},  // Note Off
        {{{0, 3, {0xB2, 7, 127}}}, "stop"},
        {{{0, 3, {0xB2, 7, 0}}}, ""},  // below the threshold
        {{{0, 3, {0x90, 60}}}, ""},  // claims more bytes than it carries
        {{{0, 2, {0x90, 60, 100}}}, ""},  // carries more than it claims
        {{{0, 6, {0x90, 60, 100, 0xB2, 7, 127}}}, "start"},
        {{{0, 3, {0xB2, 7, 127}}, {0, 3, {0x90, 60, 90}}, {0, 3, {0x90, 60, 90}}}, "stop"},
    };
    for (const auto& c : cases) {
        fired_.clear();
        std::thread([&] { backend_->deliver(c.packets); }).join();
        EXPECT_TRUE(fired_.empty());
        queue_.runUntilIdle();
        EXPECT_EQ(fired_, c.expected[0] ? Calls{c.expected} : Calls{}) << "case " << &c - cases;
    }
}

TEST_F(MIDIControllerTest, LearnsControlAtValueZeroWithThresholdAndNothingFiresWhileLearning) {
    storeEnabledDevice(std::nullopt, false);
    auto& midi = make();
    midi.startLearning(MIDILearningState::learningStart);
    backend_->deliver({0xB3, 64, 0});                      // disabled: dropped even while learning
    midi.setEnabled(true);
    backend_->deliver({0x90, 60, 0});                      // a release teaches nothing
    queue_.runUntilIdle();
    EXPECT_EQ(midi.learningState(), MIDILearningState::learningStart);

    backend_->deliver({0xB3, 64, 0});
    queue_.runUntilIdle();
    EXPECT_EQ(midi.learningState(), MIDILearningState::idle);
    EXPECT_EQ(midi.startCommand(), (MIDICommand{CC, 3, 64, 64}));
    EXPECT_FALSE(midi.stopCommand());
    EXPECT_TRUE(defaults_->hasKey(prefs::key::kMidiStartCommand));

    // While learning nothing fires.
    int starts = 0;
    midi.setOnStreamingStart([&] { ++starts; });
    midi.startLearning(MIDILearningState::learningStop);
    backend_->deliver({0xB3, 64, 127});
    queue_.runUntilIdle();
    EXPECT_EQ(starts, 0);
    EXPECT_EQ(midi.stopCommand(), (MIDICommand{CC, 3, 64, 64}));
}

// Enabling again replaces the scheduled auto-connect: the device is connected once, not twice.
TEST_F(MIDIControllerTest, SavedDeviceIsConnectedOnceHalfASecondAfterStartOr200msAfterEnabling) {
    for (const bool enableAgain : {false, true}) {
        backend_ = std::make_shared<lumeno::testing::FakeMIDIBackend>();
        backend_->found = {{5, "UM-ONE", "Roland"}};
        storeEnabledDevice("Roland UM-ONE");
        auto& midi = make();
        if (enableAgain) midi.setEnabled(true);
        queue_.advance(enableAgain ? 199ms : 499ms);
        EXPECT_TRUE(backend_->calls.empty());
        queue_.advance(1ms);
        // The loaded name counts as the current device, so it is disconnected first.
        EXPECT_EQ(backend_->calls, (Calls{"disconnect 5", "connect 5"}));
        queue_.advance(5s);
        EXPECT_EQ(backend_->calls.size(), 2u);
        EXPECT_EQ(midi.selectedDevice(), "Roland UM-ONE");
    }
}

// A source plugged in after the choice (a pedal that enumerates late) is waited for, unless MIDI is
// switched off meanwhile; switching it on again reconnects the kept device.
TEST_F(MIDIControllerTest, ConnectWaitsForTheSourceUntilDisabledAndEnablingReconnectsTheKeptDevice) {
    for (const bool disable : {false, true}) {
        backend_ = std::make_shared<lumeno::testing::FakeMIDIBackend>();
        auto& midi = make();
        midi.setEnabled(true);
        midi.connectToDevice("Pad");  // no sources yet: waits
        queue_.advance(10s);
        if (disable) midi.setEnabled(false);
        backend_->found = {{5, "Pad"}};
        queue_.advance(200ms);
        EXPECT_EQ(backend_->calls, disable ? Calls{} : Calls{"connect 5"});
    }
    auto& midi = *controller_;  // off, with "Pad" kept
    midi.setEnabled(true);
    queue_.advance(1s);
    midi.setEnabled(false);
    queue_.advance(1s);
    EXPECT_EQ(backend_->calls, (Calls{"disconnect 5", "connect 5", "disconnect 5"}));
    EXPECT_EQ(defaults_->stringForKey(prefs::key::kSelectedMIDIDevice), "Pad");
    EXPECT_FALSE(defaults_->boolForKey(prefs::key::kMidiEnabled));
}

// The chosen source is unplugged and comes back under a new endpoint: the next scan takes it again.
TEST_F(MIDIControllerTest, RepluggedSelectedSourceIsReconnectedByTheNextScan) {
    auto& midi = makeWithSources();
    queue_.advance(1s);  // past the start-up rescan: every scan below is one the test makes
    midi.connectToDevice("Pad");
    ASSERT_EQ(backend_->calls, (Calls{"connect 5"}));
    backend_->found = {{6, "Keys", "Acme"}};  // unplugged
    backend_->announceSetupChange();
    queue_.runUntilIdle();
    backend_->calls.clear();
    backend_->found = {{6, "Keys", "Acme"}, {8, "Pad"}};  // replugged
    backend_->announceSetupChange();
    queue_.runUntilIdle();
    queue_.advance(1s);
    EXPECT_EQ(backend_->calls, (Calls{"connect 8"}));
}

TEST_F(MIDIControllerTest, DestroyedControllerIgnoresLateInputAndDisposesPortThenClient) {
    auto& midi = makeWithSources();
    midi.setStartCommand(MIDICommand::learned(CC, 0, 64));
    midi.connectToDevice("Drums");  // leaves a retry scheduled
    backend_->deliver({0xB0, 64, 127});
    backend_->announceSetupChange();
    controller_.reset();
    queue_.advance(5s);
    EXPECT_TRUE(fired_.empty());
    EXPECT_EQ(backend_->calls, (Calls{"dispose port", "dispose client"}));
    EXPECT_FALSE(static_cast<bool>(backend_->onRead));
}

}  // namespace
