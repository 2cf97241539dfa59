#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "midi_test_support.h"
#include "prefs/keys.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::midi;
using lumeno::testing::FakeMIDIBackend;
using lumeno::testing::TempDir;

namespace {

constexpr auto CC = MIDIMessageType::controlChange;
constexpr auto Note = MIDIMessageType::noteOn;

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class MIDIControllerTest : public ::testing::Test, protected lumeno::testing::MIDIHarness {
protected:
    void storeEnabledDevice(const std::string& name) {
        defaults_->setBool(prefs::key::kMidiEnabled, true);
        defaults_->setString(prefs::key::kSelectedMIDIDevice, name);
    }
    // Enabled, with sources "Pad" (endpoint 5) and "Acme Keys" (endpoint 6), the list published.
    MIDIController& makeWithSources() {
        backend_->setSources({FakeMIDIBackend::source(5, "Pad"), FakeMIDIBackend::source(6, "Keys", "Acme")});
        defaults_->setBool(prefs::key::kMidiEnabled, true);
        auto& midi = make();
        queue_.runUntilIdle();
        return midi;
    }
    void connected(MIDIController& midi, const std::string& name) {
        midi.connectToDevice(name);
        queue_.runUntilIdle();
        ASSERT_EQ(midi.selectedDevice(), name);
    }
};

TEST_F(MIDIControllerTest, StartsInOrderSettingsClientCommandsThenSummary) {
    defaults_->setData(prefs::key::kMidiStartCommand, encodeCommand(MIDICommand::learned(CC, 0, 64)));
    make();
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                                "MIDI Controller initialized successfully",
                                "MIDI: Loading learned commands...",
                                "MIDI: Loaded start command: CC64 on Ch1",
                                "MIDI: No stop command found in UserDefaults",
                                "MIDI Controller initialized with commands:",
                                "  Start: CC64 on Ch1",
                                "  Stop: Not assigned",
                            }));
    EXPECT_EQ(backend_->scanCount(), 1);
    queue_.advance(200ms);
    EXPECT_EQ(backend_->scanCount(), 2);
    EXPECT_EQ(postCount("midiSettingsChanged"), 1);  // from loading the enabled flag
}

TEST_F(MIDIControllerTest, CreationFailuresAreLoggedAndOnlyWhatWasMadeIsDisposed) {
    struct Case {
        midi::MIDIStatus clientStatus, portStatus;
        const char* line;
        std::vector<std::string> disposed;
    };
    const Case cases[] = {
        {-2, 0, "Failed to create MIDI client: -2 (fake failure)", {}},
        {0, -12, "Failed to create MIDI input port: -12 (fake failure)", {"dispose client"}},
    };
    for (const auto& c : cases) {
        backend_ = std::make_shared<FakeMIDIBackend>();
        backend_->clientStatus = c.clientStatus;
        backend_->portStatus = c.portStatus;
        make();
        EXPECT_TRUE(log_.contains(c.line));
        EXPECT_EQ(controller_->inputPort(), 0u);
        EXPECT_EQ(backend_->scanCount(), 0);
        controller_.reset();
        EXPECT_EQ(backend_->calls(), c.disposed);
    }
    EXPECT_FALSE(log_.contains("MIDI Controller initialized successfully"));
}

TEST_F(MIDIControllerTest, ParsesOnlyTheFirstThreeBytesOfNoteOnAndControlChange) {
    auto& midi = makeWithSources();
    midi.setStartCommand(MIDICommand::learned(Note, 0, 60));
    midi.setStopCommand(MIDICommand::learned(CC, 2, 7));
    std::vector<std::string> fired;
    midi.setOnStreamingStart([&] { fired.push_back("start"); });
    midi.setOnStreamingStop([&] { fired.push_back("stop"); });

    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uint16_t length;
        const char* expected;  // "" for nothing
    };
    const Case cases[] = {
        {{0x90, 60, 100}, 3, "start"},
        {{0x90, 60, 0}, 3, ""},  // velocity 0 is a release
        {{0x80, 60, 100}, 3, ""},  // Note Off
        {{0xB2, 7, 127}, 3, "stop"},
        {{0xB2, 7, 0}, 3, ""},  // below the threshold
        {{0xB2, 7}, 2, ""},
        {{0xC0, 5}, 2, ""},  // program change
        {{0x92, 60, 100}, 3, ""},  // other channel
        {{0x90, 60}, 3, ""},  // claims more bytes than it carries
        {{0x90, 60, 100}, 2, ""},  // carries more than it claims
        {{0x90, 60, 100, 0xB2, 7, 127}, 6, "start"},
    };
    for (const auto& c : cases) {
        fired.clear();
        backend_->deliver({{0, c.length, c.bytes}});
        queue_.runUntilIdle();
        EXPECT_EQ(fired, c.expected[0] ? std::vector<std::string>{c.expected} : std::vector<std::string>{})
            << "case with first bytes " << int(c.bytes[0]) << "," << int(c.bytes[1]);
    }
}

TEST_F(MIDIControllerTest, PacketListProcessesFirstPacketOnly) {
    auto& midi = makeWithSources();
    midi.setStartCommand(MIDICommand::learned(Note, 0, 60));
    midi.setStopCommand(MIDICommand::learned(Note, 0, 62));
    int starts = 0, stops = 0;
    midi.setOnStreamingStart([&] { ++starts; });
    midi.setOnStreamingStop([&] { ++stops; });
    backend_->deliver({{0, 3, {0x90, 62, 90}}, {0, 3, {0x90, 60, 90}}, {0, 3, {0x90, 60, 90}}});
    backend_->deliver(MIDIPacketList{});
    queue_.runUntilIdle();
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(starts, 0);
    EXPECT_TRUE(log_.contains("MIDI: Received 3 packets, processing first only"));
}

TEST_F(MIDIControllerTest, MessagesFromTheReceiveThreadAreHandledOnTheMainQueue) {
    auto& midi = makeWithSources();
    midi.setStartCommand(MIDICommand::learned(CC, 0, 64));
    std::thread::id handledOn;
    midi.setOnStreamingStart([&] { handledOn = std::this_thread::get_id(); });
    std::thread receiver([&] { backend_->deliver({0xB0, 64, 127}); });
    receiver.join();
    EXPECT_EQ(handledOn, std::thread::id());
    queue_.runUntilIdle();
    EXPECT_EQ(handledOn, std::this_thread::get_id());
}

TEST_F(MIDIControllerTest, DisabledControllerDropsInputEvenWhileLearning) {
    auto& midi = make();
    midi.startLearning(MIDILearningState::learningStart);
    backend_->deliver({0xB0, 64, 127});
    queue_.runUntilIdle();
    EXPECT_EQ(midi.learningState(), MIDILearningState::learningStart);
    EXPECT_FALSE(midi.startCommand());
}

TEST_F(MIDIControllerTest, LearnsControlAtValueZeroWithThresholdAndFlushesIt) {
    TempDir dir;
    useSettingsFile(dir.path() / "settings.json");
    auto& midi = makeWithSources();
    midi.startLearning(MIDILearningState::learningStop);
    midi.startLearning(MIDILearningState::learningStart);  // switches target
    backend_->deliver({0x90, 60, 0});  // a release teaches nothing
    queue_.runUntilIdle();
    EXPECT_EQ(midi.learningState(), MIDILearningState::learningStart);

    backend_->deliver({0xB3, 64, 0});
    queue_.runUntilIdle();
    EXPECT_EQ(midi.learningState(), MIDILearningState::idle);
    EXPECT_EQ(midi.startCommand(), (MIDICommand{CC, 3, 64, 64}));
    EXPECT_FALSE(midi.stopCommand());
    EXPECT_TRUE(log_.contains("MIDI: Learned start command: CC64 on Ch4"));
    EXPECT_TRUE(log_.contains("MIDI: UserDefaults synchronized to disk"));
    EXPECT_NE(readFile(dir.path() / "settings.json").find("midiStartCommand"), std::string::npos);
    EXPECT_EQ(postCount(kMidiLearningStateChanged), 3);

    // While learning nothing fires.
    int starts = 0;
    midi.setOnStreamingStart([&] { ++starts; });
    midi.startLearning(MIDILearningState::learningStop);
    backend_->deliver({0xB3, 64, 127});
    queue_.runUntilIdle();
    EXPECT_EQ(starts, 0);
    EXPECT_EQ(midi.stopCommand(), (MIDICommand{CC, 3, 64, 64}));
}

TEST_F(MIDIControllerTest, StartWinsWhenOneControlIsLearnedForBoth) {
    auto& midi = makeWithSources();
    midi.setStartCommand(MIDICommand::learned(CC, 0, 64));
    midi.setStopCommand(MIDICommand::learned(CC, 0, 64));
    std::vector<std::string> fired;
    midi.setOnStreamingStart([&] { fired.push_back("start"); });
    midi.setOnStreamingStop([&] { fired.push_back("stop"); });
    for (int i = 0; i < 2; ++i) midi.handleMIDIMessage(CC, 0, 64, 127);
    EXPECT_EQ(fired, (std::vector<std::string>{"start", "start"}));
    EXPECT_EQ(log_.count("MIDI: Start streaming triggered (CC64 on Ch1)"), 2);
}

TEST_F(MIDIControllerTest, ClearingACommandRemovesItsKeyAndFlushes) {
    TempDir dir;
    useSettingsFile(dir.path() / "settings.json");
    auto& midi = make();
    midi.setStartCommand(MIDICommand::learned(Note, 9, 36));
    ASSERT_NE(readFile(dir.path() / "settings.json").find("midiStartCommand"), std::string::npos);
    log_.clear();
    midi.setStartCommand(std::nullopt);
    EXPECT_FALSE(defaults_->dataForKey(prefs::key::kMidiStartCommand));
    EXPECT_EQ(readFile(dir.path() / "settings.json").find("midiStartCommand"), std::string::npos);
    EXPECT_TRUE(log_.contains("MIDI: Removed start command from UserDefaults"));
    EXPECT_TRUE(log_.contains("MIDI: Removed stop command from UserDefaults"));
}

TEST_F(MIDIControllerTest, FailedFlushIsNotReportedAsSuccess) {
    TempDir dir;
    std::ofstream(dir.path() / "file") << "x";
    useSettingsFile(dir.path() / "file" / "settings.json");  // its folder cannot be made
    auto& midi = make();
    midi.setStartCommand(MIDICommand::learned(Note, 0, 60));
    EXPECT_TRUE(log_.contains("MIDI: Failed to synchronize UserDefaults to disk"));
    EXPECT_FALSE(log_.contains("MIDI: UserDefaults synchronized to disk"));
}

TEST_F(MIDIControllerTest, UndecodableStoredCommandIsRemovedAtLoad) {
    defaults_->setData(prefs::key::kMidiStartCommand, "garbage");
    defaults_->setData(prefs::key::kMidiStopCommand, R"({"type":"Note","channel":9,"data1":36})");
    auto& midi = make();
    EXPECT_FALSE(midi.startCommand());
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kMidiStartCommand));
    EXPECT_TRUE(log_.containsPrefix("MIDI: Failed to decode start command: "));
    EXPECT_EQ(midi.stopCommand(), (MIDICommand{Note, 9, 36, std::nullopt}));
    EXPECT_TRUE(log_.contains("MIDI: Loaded stop command: C2 on Ch10"));
    // Loading does not write back.
    EXPECT_FALSE(log_.contains("MIDI: Saving learned commands..."));
}

TEST_F(MIDIControllerTest, AutoConnectsToSavedDeviceHalfASecondAfterStart) {
    backend_->setSources({FakeMIDIBackend::source(5, "UM-ONE", "Roland")});
    storeEnabledDevice("Roland UM-ONE");
    auto& midi = make();
    queue_.advance(499ms);
    EXPECT_TRUE(backend_->calls().empty());
    queue_.advance(1ms);
    EXPECT_TRUE(log_.contains("MIDI: Auto-connecting to saved device: Roland UM-ONE"));
    // The loaded name counts as the current device, so it is disconnected first.
    EXPECT_EQ(backend_->calls(), (std::vector<std::string>{"disconnect 5", "connect 5"}));
    EXPECT_EQ(midi.selectedDevice(), "Roland UM-ONE");
    EXPECT_TRUE(log_.contains("MIDI: Successfully connected to device: Roland UM-ONE"));
}

TEST_F(MIDIControllerTest, ConnectWaitsForAFirstSourceRetryingEvery100msWithoutFloodingTheLog) {
    auto& midi = make();
    queue_.advance(1s);
    midi.connectToDevice("Pad");
    EXPECT_TRUE(log_.contains("MIDI: No devices in list, scanning first..."));
    const int scans = backend_->scanCount();
    queue_.advance(100ms);
    EXPECT_EQ(backend_->scanCount(), scans + 1);
    queue_.advance(10s);
    EXPECT_EQ(backend_->scanCount(), scans + 101);
    EXPECT_EQ(log_.count("MIDI: Attempting to connect to device: Pad"), 1);
    EXPECT_EQ(log_.count("MIDI: No devices in list, scanning first..."), 1);

    backend_->setSources({FakeMIDIBackend::source(5, "Pad")});
    queue_.advance(200ms);
    EXPECT_EQ(backend_->calls(), (std::vector<std::string>{"connect 5"}));
    EXPECT_EQ(defaults_->stringForKey(prefs::key::kSelectedMIDIDevice), "Pad");
}

TEST_F(MIDIControllerTest, UnknownNameIsLookedUpOnceMoreAfter200msThenGivenUp) {
    auto& midi = makeWithSources();
    midi.connectToDevice("Drums");
    EXPECT_TRUE(log_.contains("MIDI: Device not found in connected devices: Drums"));
    EXPECT_TRUE(log_.contains(R"(MIDI: Available devices: ["Pad", "Acme Keys"])"));
    queue_.advance(199ms);
    EXPECT_FALSE(log_.contains("MIDI: Device 'Drums' not found after retry scan"));
    queue_.advance(1ms);
    EXPECT_TRUE(log_.contains("MIDI: Device 'Drums' not found after retry scan"));
    queue_.advance(5s);
    EXPECT_EQ(log_.count("MIDI: Attempting to connect to device: Drums"), 1);
    EXPECT_TRUE(backend_->calls().empty());
}

TEST_F(MIDIControllerTest, NameThatAppearsDuringTheRetryScanIsConnected) {
    auto& midi = makeWithSources();
    backend_->setSources({FakeMIDIBackend::source(5, "Pad"), FakeMIDIBackend::source(9, "Drums")});
    midi.connectToDevice("Drums");  // not yet in the published list
    queue_.advance(200ms);
    EXPECT_EQ(backend_->calls(), (std::vector<std::string>{"connect 9"}));
    EXPECT_EQ(log_.count("MIDI: Attempting to connect to device: Drums"), 2);
}

TEST_F(MIDIControllerTest, ReconnectingDisconnectsFirstAndFailureClearsTheSavedChoice) {
    auto& midi = makeWithSources();
    connected(midi, "Pad");
    backend_->connectStatus = -5;
    midi.connectToDevice("Acme Keys");
    EXPECT_EQ(backend_->calls(), (std::vector<std::string>{"connect 5", "disconnect 5", "connect 6"}));
    EXPECT_TRUE(log_.contains("MIDI: Failed to connect to device Acme Keys with status: -5 (fake failure)"));
    EXPECT_FALSE(midi.selectedDevice());
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kSelectedMIDIDevice));
}

TEST_F(MIDIControllerTest, DisablingForgetsTheDeviceAndEnablingDoesNotReconnect) {
    auto& midi = makeWithSources();
    connected(midi, "Pad");
    midi.setEnabled(false);
    EXPECT_TRUE(log_.contains("MIDI: Successfully disconnected from device: Pad"));
    EXPECT_FALSE(defaults_->hasKey(prefs::key::kSelectedMIDIDevice));
    EXPECT_FALSE(defaults_->boolForKey(prefs::key::kMidiEnabled));
    midi.setEnabled(true);
    queue_.advance(1s);
    EXPECT_EQ(backend_->calls(), (std::vector<std::string>{"connect 5", "disconnect 5"}));
    EXPECT_TRUE(log_.contains("MIDI support enabled"));
}

TEST_F(MIDIControllerTest, DisablingCancelsAConnectionStillWaitingForItsSource) {
    auto& midi = make();
    midi.setEnabled(true);
    queue_.runUntilIdle();
    midi.connectToDevice("Pad");
    midi.setEnabled(false);
    backend_->setSources({FakeMIDIBackend::source(5, "Pad")});
    queue_.advance(2s);
    EXPECT_TRUE(backend_->calls().empty());
    EXPECT_FALSE(midi.selectedDevice());
}

TEST_F(MIDIControllerTest, WithoutAnInputPortConnectingGivesUpAndKeepsTheSavedChoice) {
    backend_->clientStatus = -2;
    storeEnabledDevice("Pad");
    make();
    queue_.advance(10s);
    EXPECT_EQ(log_.count("MIDI: Failed to connect to device Pad: no MIDI input port"), 1);
    EXPECT_EQ(log_.count("MIDI: Attempting to connect to device: Pad"), 1);
    EXPECT_EQ(defaults_->stringForKey(prefs::key::kSelectedMIDIDevice), "Pad");
}

TEST_F(MIDIControllerTest, SetupChangePostsDevicesChangedTwiceTheFirstBeforeTheNewList) {
    make();
    queue_.advance(1s);
    posts_.clear();
    backend_->setSources({FakeMIDIBackend::source(5, "Pad")});
    std::thread([&] { backend_->announceSetupChange(); }).join();
    queue_.runUntilIdle();
    ASSERT_EQ(posts_.size(), 2u);
    EXPECT_EQ(posts_[0].name, kMIDIDevicesChanged);
    EXPECT_EQ(posts_[0].listedDevices, 0u);
    EXPECT_EQ(posts_[1].name, kMIDIDevicesChanged);
    EXPECT_EQ(posts_[1].listedDevices, 1u);
}

TEST_F(MIDIControllerTest, DestroyedControllerIgnoresLateInputAndDisposesPortThenClient) {
    auto& midi = makeWithSources();
    midi.setStartCommand(MIDICommand::learned(CC, 0, 64));
    int starts = 0;
    midi.setOnStreamingStart([&] { ++starts; });
    midi.connectToDevice("Drums");  // leaves a retry scheduled
    backend_->deliver({0xB0, 64, 127});
    backend_->announceSetupChange();
    controller_.reset();
    queue_.advance(5s);
    EXPECT_EQ(starts, 0);
    EXPECT_EQ(backend_->calls(), (std::vector<std::string>{"dispose port", "dispose client"}));
    EXPECT_FALSE(backend_->hasReadCallback());
}

}  // namespace
