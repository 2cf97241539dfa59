#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "midi_test_support.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::midi;
using Calls = std::vector<std::string>;

namespace {

constexpr auto CC = MIDIMessageType::controlChange;
constexpr auto Note = MIDIMessageType::noteOn;

bool fileMentions(const std::filesystem::path& file, const std::string& text) {
    std::stringstream content;
    content << std::ifstream(file).rdbuf();
    return content.str().find(text) != std::string::npos;
}

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

TEST_F(MIDIControllerTest, StoredCommandsAreLoadedAnUndecodableOneIsRemovedAndSourcesAreScannedTwice) {
    defaults_->setData(prefs::key::kMidiStartCommand, "garbage");
    defaults_->setData(prefs::key::kMidiStopCommand, R"({"type":"Note","channel":9,"data1":36})");
    auto& midi = make();
    EXPECT_FALSE(midi.startCommand());
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kMidiStartCommand));
    EXPECT_EQ(midi.stopCommand(), (MIDICommand{Note, 9, 36, std::nullopt}));
    EXPECT_FALSE(log_.contains("MIDI: Saving learned commands...")) << "loading writes nothing back";
    EXPECT_EQ(backend_->scans, 1);
    queue_.advance(200ms);
    EXPECT_EQ(backend_->scans, 2);
}

// Without a port nothing can connect: the saved choice is kept and no wait for sources begins.
TEST_F(MIDIControllerTest, CreationFailuresAreLoggedAndOnlyWhatWasMadeIsDisposed) {
    struct Case {
        MIDIStatus clientStatus, portStatus;
        const char* line;
        Calls disposed;
    };
    const Case cases[] = {
        {-2, 0, "Failed to create MIDI client: -2 (fake failure)", {}},
        {0, -12, "Failed to create MIDI input port: -12 (fake failure)", {"dispose client"}},
    };
    storeEnabledDevice("Pad");
    for (const auto& c : cases) {
        log_.clear();
        backend_ = std::make_shared<lumeno::testing::FakeMIDIBackend>();
        backend_->clientStatus = c.clientStatus;
        backend_->portStatus = c.portStatus;
        make();
        queue_.advance(10s);
        EXPECT_TRUE(log_.contains(c.line));
        EXPECT_EQ(defaults_->stringForKey(prefs::key::kSelectedMIDIDevice), "Pad");
        EXPECT_EQ(backend_->scans, 0);
        controller_.reset();
        EXPECT_EQ(backend_->calls, c.disposed);
    }
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
        {{{0, 2, {0xB2, 7}}}, ""},
        {{{0, 3, {0x92, 60, 100}}}, ""},  // other channel
        {{{0, 3, {0x90, 60}}}, ""},  // claims more bytes than it carries
        {{{0, 2, {0x90, 60, 100}}}, ""},  // carries more than it claims
        {{{0, 6, {0x90, 60, 100, 0xB2, 7, 127}}}, "start"},
        {{{0, 3, {0xB2, 7, 127}}, {0, 3, {0x90, 60, 90}}, {0, 3, {0x90, 60, 90}}}, "stop"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        fired_.clear();
        std::thread([&] { backend_->deliver(c.packets); }).join();
        EXPECT_TRUE(fired_.empty());
        queue_.runUntilIdle();
        EXPECT_EQ(fired_, c.expected[0] ? Calls{c.expected} : Calls{}) << "case " << &c - cases;
    }
}

TEST_F(MIDIControllerTest, LearnsControlAtValueZeroWithThresholdAndFlushesIt) {
    lumeno::testing::TempDir dir;
    useSettingsFile(dir.path() / "settings.json");
    storeEnabledDevice(std::nullopt, false);
    auto& midi = make();
    midi.startLearning(MIDILearningState::learningStop);
    midi.startLearning(MIDILearningState::learningStart);  // switches target
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
    EXPECT_TRUE(fileMentions(dir.path() / "settings.json", "midiStartCommand"));
    EXPECT_EQ(learningPosts_, 3);

    // While learning nothing fires.
    int starts = 0;
    midi.setOnStreamingStart([&] { ++starts; });
    midi.startLearning(MIDILearningState::learningStop);
    backend_->deliver({0xB3, 64, 127});
    queue_.runUntilIdle();
    EXPECT_EQ(starts, 0);
    EXPECT_EQ(midi.stopCommand(), (MIDICommand{CC, 3, 64, 64}));
}

TEST_F(MIDIControllerTest, ClearingACommandRemovesItsKeyAndAFailedFlushIsNotReportedAsSuccess) {
    lumeno::testing::TempDir dir;
    useSettingsFile(dir.path() / "settings.json");
    auto& midi = make();
    midi.setStartCommand(MIDICommand::learned(Note, 9, 36));
    ASSERT_TRUE(fileMentions(dir.path() / "settings.json", "midiStartCommand"));
    midi.setStartCommand(std::nullopt);
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kMidiStartCommand));
    EXPECT_FALSE(fileMentions(dir.path() / "settings.json", "midiStartCommand"));

    controller_.reset();
    std::ofstream(dir.path() / "file") << "x";
    useSettingsFile(dir.path() / "file" / "settings.json");  // its folder cannot be made
    log_.clear();
    make().setStartCommand(MIDICommand::learned(Note, 0, 60));
    EXPECT_TRUE(log_.contains("MIDI: Failed to synchronize UserDefaults to disk"));
    EXPECT_FALSE(log_.contains("MIDI: UserDefaults synchronized to disk"));
}

// Enabling again replaces the scheduled auto-connect: the device is connected once, not twice.
TEST_F(MIDIControllerTest, SavedDeviceIsConnectedOnceHalfASecondAfterStartOr200msAfterEnabling) {
    for (const bool enableAgain : {false, true}) {
        backend_ = std::make_shared<lumeno::testing::FakeMIDIBackend>();
        backend_->found = {{5, "UM-ONE", "Roland"}};
        storeEnabledDevice("Roland UM-ONE");
        log_.clear();
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

TEST_F(MIDIControllerTest, ConnectWaitsForAFirstSourceRetryingEvery100msWithoutFloodingTheLog) {
    auto& midi = make();
    queue_.advance(1s);
    midi.connectToDevice("Pad");
    const int scans = backend_->scans;
    queue_.advance(10s);
    EXPECT_EQ(backend_->scans, scans + 100);
    EXPECT_EQ(log_.count("MIDI: Attempting to connect to device: Pad"), 1);

    backend_->found = {{5, "Pad"}};
    queue_.advance(200ms);
    EXPECT_EQ(backend_->calls, (Calls{"connect 5"}));
    EXPECT_EQ(defaults_->stringForKey(prefs::key::kSelectedMIDIDevice), "Pad");
}

TEST_F(MIDIControllerTest, FailedConnectLogsTheStatusAndForgetsEvenAStaleSavedChoice) {
    storeEnabledDevice("Gone");
    auto& midi = makeWithSources();
    backend_->connectStatus = -5;
    midi.connectToDevice("Acme Keys");
    EXPECT_EQ(backend_->calls, (Calls{"connect 6"}));
    EXPECT_TRUE(log_.contains("MIDI: Failed to connect to device Acme Keys with status: -5 (fake failure)"));
    EXPECT_FALSE(midi.selectedDevice());
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kSelectedMIDIDevice));
}

TEST_F(MIDIControllerTest, DisablingCancelsAWaitingConnectionAndEnablingReconnectsTheKeptDevice) {
    auto& midi = make();
    midi.setEnabled(true);
    midi.connectToDevice("Pad");  // no sources yet: waits
    midi.setEnabled(false);
    backend_->found = {{5, "Pad"}};
    queue_.advance(2s);
    EXPECT_TRUE(backend_->calls.empty());

    midi.setEnabled(true);
    midi.connectToDevice("Pad");
    midi.setEnabled(false);
    EXPECT_EQ(defaults_->stringForKey(prefs::key::kSelectedMIDIDevice), "Pad");
    EXPECT_FALSE(defaults_->boolForKey(prefs::key::kMidiEnabled));
    backend_->deliver({0xB0, 64, 127});  // off: the port hears nothing
    queue_.advance(1s);
    EXPECT_EQ(backend_->calls, (Calls{"connect 5", "disconnect 5"}));

    backend_->calls.clear();
    midi.setEnabled(true);
    queue_.advance(1s);
    EXPECT_EQ(backend_->calls, (Calls{"disconnect 5", "connect 5"}));
    EXPECT_EQ(midi.selectedDevice(), "Pad");
}

// The chosen source is unplugged and comes back, possibly under a new endpoint: the next scan
// takes it again, but only while MIDI is on and the operator has not chosen otherwise.
TEST_F(MIDIControllerTest, RepluggedSelectedSourceIsReconnectedByTheNextScan) {
    struct Case {
        const char* name;
        bool disableWhileAway;
        bool otherChosenWhileAway;
        Calls calls;
    };
    const std::vector<Case> cases = {
        {"comes back", false, false, {"connect 8"}},
        {"switched off meanwhile", true, false, {}},
        {"another source chosen meanwhile", false, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        controller_.reset();
        defaults_ = std::make_unique<prefs::PreferencesStore>(log_);
        backend_ = std::make_shared<lumeno::testing::FakeMIDIBackend>();
        auto& midi = makeWithSources();
        queue_.advance(1s);  // past the start-up rescan: every scan below is one the test makes
        midi.connectToDevice("Pad");
        ASSERT_EQ(backend_->calls, (Calls{"connect 5"}));

        backend_->found = {{6, "Keys", "Acme"}};  // unplugged
        backend_->announceSetupChange();
        queue_.runUntilIdle();
        if (c.disableWhileAway) midi.setEnabled(false);
        if (c.otherChosenWhileAway) midi.connectToDevice("Acme Keys");
        backend_->calls.clear();
        backend_->found = {{6, "Keys", "Acme"}, {8, "Pad"}};  // replugged
        backend_->announceSetupChange();
        queue_.runUntilIdle();
        queue_.advance(1s);
        EXPECT_EQ(backend_->calls, c.calls);
    }
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
