#include "app/view_controller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "app/headless_view.h"
#include "fakes/capture_logger.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "fakes/virtual_main_queue.h"
#include "fake_midi_backend.h"
#include "prefs/keys.h"

using namespace lumeno;
using namespace lumeno::app;
using namespace std::chrono_literals;
using lumeno::testing::VirtualMainQueue;
using Lines = std::vector<std::string>;
namespace key = prefs::key;

namespace {

using FakeView = lumeno::testing::FakeMainView;
using FakeServer = lumeno::testing::FakeListenerServer;

class FakeSpeech final : public audio::SpeechFeed {
public:
    bool isRecognizing() const override { return recognizing; }
    void append(const audio::AudioBuffer& buffer) override {
        first.push_back(buffer.channels[0][0]);
        pointers.push_back(buffer.channels[0]);
    }
    bool recognizing = true;
    std::vector<float> first;  // of each appended buffer
    std::vector<const float*> pointers;
};

// A captured buffer: constant samples (so the RMS is the value's magnitude) or given channels.
struct Samples {
    explicit Samples(std::vector<std::vector<float>> channels) : data(std::move(channels)) {
        for (auto& c : data) pointers.push_back(c.data());
        const auto frames = static_cast<std::uint32_t>(data[0].size());
        buffer = audio::AudioBuffer{pointers.data(), static_cast<std::uint32_t>(data.size()), frames, frames, 48000.0};
    }
    // One reference buffer by default: the gain and the meter move once per 4096 frames.
    Samples(float value, std::size_t channels = 1, std::size_t frames = audio::kTimingReferenceFrames)
        : Samples(std::vector<std::vector<float>>(channels, std::vector<float>(frames, value))) {}
    std::vector<std::vector<float>> data;
    std::vector<const float*> pointers;
    audio::AudioBuffer buffer;
};

class ViewControllerTest : public ::testing::Test {
protected:
    void start(ViewController::Options options = {}, bool withControls = true) {
        controller_.reset();
        capture_.stop();
        view_ = std::make_shared<FakeView>();
        ViewController::Services services{queue_, background_, notifications_, log_, preferences_, capture_, capture_,
                                          [this](std::optional<core::AudioFormat> format) {
                                              serverCreatedWith_ = format;
                                              return server_ = std::make_shared<FakeServer>();
                                          },
                                          &speech_, midiFactory_};
        services.listenerPort = port_;
        services.bindAddress = bindAddress_;
        services.networkInterfaces = [this](bool& failed) {
            failed = interfacesFail_;
            return interfaces_;
        };
        controller_ = ViewController::create(std::move(services), view_, withControls ? view_ : nullptr, options);
        controller_->viewDidLoad();
    }
    void deliver(const Samples& samples) { capture_.deliver(samples.buffer); }
    Lines linesAfter(const std::string& marker) const {
        auto lines = log_.lines();
        auto it = std::find(lines.begin(), lines.end(), marker);
        return it == lines.end() ? Lines{} : Lines(it + 1, lines.end());
    }

    VirtualMainQueue queue_;
    lumeno::testing::CaptureLogger log_;
    core::NotificationCenter notifications_;
    core::BackgroundQueue background_;  // after the queue: its tasks post to it
    std::shared_ptr<prefs::PreferencesStore> store_ = std::make_shared<prefs::PreferencesStore>(log_);
    prefs::PreferencesManager preferences_{store_};
    lumeno::testing::FakeCaptureSource capture_;
    FakeSpeech speech_;
    std::shared_ptr<FakeView> view_;
    std::shared_ptr<FakeServer> server_;
    std::optional<std::optional<core::AudioFormat>> serverCreatedWith_;
    std::function<std::shared_ptr<midi::MIDIController>()> midiFactory_;
    std::vector<InterfaceAddress> interfaces_{{"lo", true, "127.0.0.1", true, true}, {"eth0", true, "192.168.1.20"}};
    bool interfacesFail_ = false;
    std::uint16_t port_ = 8080;
    std::string bindAddress_ = "0.0.0.0";
    std::shared_ptr<ViewController> controller_;
};

TEST_F(ViewControllerTest, StartupRunsEveryStepInOrder) {
    start();
    EXPECT_EQ(log_.lines(),
              (Lines{"=== Lumeno starting ===",
                     "🔧 Starting UI setup...", "Setting up UI...", "UI elements created, updating device list...",
                     "Device list updated, updating IP label...", "🌐 Updating IP address...",
                     "🌐 Found interface: lo", "🌐 Found interface: eth0", "🌐 Interface eth0 has address: 192.168.1.20",
                     "🌐 Found IP addresses: [\"192.168.1.20\"]", "✅ URL set to: http://192.168.1.20:8080/listen",
                     "✅ QR button enabled", "UI setup complete", "✅ UI setup complete",
                     "🔧 Starting audio engine setup...", "Setting up audio engine...",
                     "Audio format: 48000.0Hz, 1 channels", "✅ Audio engine setup complete",
                     "🔧 Loading persisted state...", "📝 Transcript panel was hidden, keeping it closed", "✅ State loaded",
                     "🔧 Starting server...", "✅ Server started",
                     "🔧 Setting up observers...",
                     "🔧 Starting audio monitoring...", "🎵 Audio format: 48000.0Hz, 1 channels",
                     "✅ Server audio format updated to 48000.0Hz", "✅ Audio monitoring started successfully",
                     "✅ Audio monitoring started",
                     "🎉 === Lumeno startup complete ==="}));
    queue_.runUntilIdle();
    EXPECT_EQ(linesAfter("🎉 === Lumeno startup complete ==="),
              (Lines{"🏷️ Updating dock badge: 0", "👥 Initialized listener count to 0"}));
    EXPECT_EQ(serverCreatedWith_, std::optional<core::AudioFormat>(core::AudioFormat{48000.0, 1}));
    EXPECT_TRUE(server_->started);
    // Stored streaming off: monitoring from the state-loading step on.
    EXPECT_EQ(view_->statuses.front(), std::make_pair(std::string("Status: Monitoring"), LabelColor::systemOrange));
}

TEST_F(ViewControllerTest, StoredOrDemoStreamingStartsAtOneSecondWithNoAudioBeforeAndTheToggleIsStored) {
    for (const bool demo : {false, true}) {
        SCOPED_TRACE(demo ? "demo" : "stored");
        store_->setBool(key::kIsStreaming, !demo);
        start({.streamAtStartup = demo});
        queue_.runUntilIdle();
        EXPECT_EQ(view_->status(), "Status: Monitoring");
        queue_.advance(999ms);
        deliver(Samples(0.1f));
        EXPECT_TRUE(server_->chunks.empty());
        EXPECT_TRUE(server_->streamingCalls.empty());

        queue_.advance(1ms);
        EXPECT_EQ(view_->statuses.back(), std::make_pair(std::string("Status: Streaming"), LabelColor::systemGreen));
        EXPECT_EQ(view_->buttonTitle, "Stop Streaming");
        deliver(Samples(0.1f));
        EXPECT_EQ(server_->chunks.size(), 1u);
        EXPECT_EQ(store_->boolForKey(key::kIsStreaming), !demo);  // the demo's streaming is not stored

        controller_->toggleStreaming();
        EXPECT_TRUE(store_->hasKey(key::kIsStreaming));
        EXPECT_FALSE(store_->boolForKey(key::kIsStreaming));
        EXPECT_EQ(view_->status(), "Status: Monitoring");
        EXPECT_EQ(view_->buttonTitle, "Start Streaming");
        EXPECT_EQ(server_->streamingCalls, (std::vector<bool>{true, false}));
    }
}

TEST_F(ViewControllerTest, AutoGainOffResetsTheGainAndOnStartsSmoothingFromOne) {
    start();
    controller_->toggleAutoGain(true);
    EXPECT_TRUE(store_->boolForKey(key::kAutoGainEnabled));
    deliver(Samples(0.05f));
    EXPECT_NEAR(controller_->currentGain(), 1.1f, 1e-5f);  // the RMS of 4096 float squares is not exact
    controller_->toggleAutoGain(false);
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.0f);
    EXPECT_FALSE(store_->boolForKey(key::kAutoGainEnabled));
    deliver(Samples(0.05f));
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.0f);
    controller_->toggleAutoGain(true);
    deliver(Samples(0.05f));
    EXPECT_NEAR(controller_->currentGain(), 1.1f, 1e-5f);
}

TEST_F(ViewControllerTest, MeterAndLevelLineFollowUsableBuffersOnly) {
    store_->setBool(key::kAutoGainEnabled, true);
    store_->setBool(key::kSpeechRecognitionEnabled, true);
    start();
    controller_->toggleStreaming();
    queue_.runUntilIdle();
    deliver(Samples(0.0f));     // silence: no gain change, meter at 0
    deliver(Samples(0.3f, 3));  // three channels: ignored entirely
    EXPECT_TRUE(view_->levels.empty());
    queue_.runUntilIdle();
    EXPECT_EQ(view_->levels, std::vector<float>{0.0f});
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.0f);
    EXPECT_EQ(server_->chunks.size(), 1u);
    EXPECT_EQ(speech_.first.size(), 1u);

    // Counting only usable buffers, one level line per kLevelLogInterval capture blocks.
    log_.clear();
    const Samples block(0.0f, 1, audio::kCaptureBlockFrames);
    for (int i = 0; i < audio::kLevelLogInterval - 2; ++i) deliver(block);
    EXPECT_TRUE(log_.lines().empty());
    deliver(block);
    EXPECT_EQ(log_.lines(), Lines{"🔊 Audio level: Input RMS=0.0000, Gain=1.00x, Output RMS=0.0000"});
    for (int i = 0; i < audio::kLevelLogInterval; ++i) deliver(block);
    EXPECT_EQ(log_.lines().size(), 2u);
}

TEST_F(ViewControllerTest, SmallBlocksMoveTheMeterAndTheGainAtTheReferencePace) {
    store_->setBool(key::kAutoGainEnabled, true);
    start();
    const Samples block(0.05f, 1, audio::kCaptureBlockFrames);
    const auto perReference = audio::kTimingReferenceFrames / audio::kCaptureBlockFrames;
    for (std::uint32_t i = 0; i + 1 < perReference; ++i) deliver(block);
    queue_.runUntilIdle();
    EXPECT_TRUE(view_->levels.empty()) << "no meter update before a reference buffer's worth of frames";
    deliver(block);
    queue_.runUntilIdle();
    ASSERT_EQ(view_->levels.size(), 1u);
    // The gain applied to each block varied, so the level is near, not at, 0.05 x 1.1 x 3.
    EXPECT_NEAR(view_->levels[0], 0.05f * 1.05f * 3.0f, 0.01f);
    EXPECT_NEAR(controller_->currentGain(), 1.1f, 1e-4f) << "the same gain as one 4096-frame buffer";
}

TEST_F(ViewControllerTest, StreamedChunkIsTheBufferInWireFormatWithTheCappedGain) {
    store_->setBool(key::kAutoGainEnabled, true);
    start();
    for (int i = 0; i < 40; ++i) deliver(Samples(0.01f));  // quiet input drives the gain towards 4.0 ...
    controller_->toggleStreaming();
    deliver(Samples({{0.5f, -0.5f}, {-0.5f, 0.5f}}));  // ... but RMS 0.5 gets at most 0.95 / 0.5 = 1.9
    EXPECT_GT(controller_->currentGain(), 1.9f);
    ASSERT_EQ(server_->chunks.size(), 1u);
    const std::int16_t high = 0.95f * 32767.0f;
    std::vector<std::uint8_t> expected;
    for (std::int16_t s : {high, std::int16_t(-high), std::int16_t(-high), high})
        expected.insert(expected.end(), {std::uint8_t(s & 0xFF), std::uint8_t((s >> 8) & 0xFF)});
    EXPECT_EQ(*server_->chunks[0], expected);
}

TEST_F(ViewControllerTest, SpeechFeedGetsAudioOnlyWhileStreamingAndWanted) {
    struct Case {
        const char* name;
        bool streaming, speechEnabled, recognizing, autoGain;
        float sample;
        std::optional<float> appended;
        bool sameBuffer;
    };
    const Case cases[] = {
        {"not streaming", false, true, true, false, 0.1f, {}, false},
        {"speech switched off", true, false, true, false, 0.1f, {}, false},
        {"session not recognizing", true, true, false, false, 0.1f, {}, false},
        {"auto-gain off: the captured buffer itself", true, true, true, false, 0.1f, 0.1f, true},
        {"auto-gain at unit gain: the captured buffer", true, true, true, true, 0.0f, 0.0f, true},
        {"auto-gain applied: a limited copy", true, true, true, true, 0.05f, 0.055f, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store_->setBool(key::kIsStreaming, false);
        store_->setBool(key::kSpeechRecognitionEnabled, c.speechEnabled);
        store_->setBool(key::kAutoGainEnabled, c.autoGain);
        speech_ = FakeSpeech();
        speech_.recognizing = c.recognizing;
        start();
        if (c.streaming) controller_->toggleStreaming();
        Samples samples(c.sample);
        deliver(samples);
        ASSERT_EQ(speech_.first.size(), c.appended ? 1u : 0u);
        if (!c.appended) continue;
        EXPECT_NEAR(speech_.first[0], *c.appended, 1e-6f);
        EXPECT_EQ(speech_.pointers[0] == samples.pointers[0], c.sameBuffer);
    }
}

TEST_F(ViewControllerTest, ListenerCountShowsInLabelAndBadgeEveryFiveSecondsAndTextCountsAreRejected) {
    struct Case {
        core::UserInfo info;
        std::string label;
        LabelColor color;
        std::string badge;
    };
    const Case cases[] = {
        {{{"count", std::int64_t{1}}}, "👥 Active Listener: 1", LabelColor::systemGreen, "1"},
        {{{"count", std::int64_t{0}}}, "👥 Active Listeners: 0", LabelColor::secondaryLabel, ""},
        {{{"count", std::int64_t{3}}}, "👥 Active Listeners: 3", LabelColor::systemGreen, "3"},
        {{{"count", std::string("5")}}, "👥 Active Listeners: 3", LabelColor::systemGreen, "3"},
        {{}, "👥 Active Listeners: 3", LabelColor::systemGreen, "3"},
    };
    start();
    for (const auto& c : cases) {
        notifications_.post("listenerCountChanged", c.info);
        EXPECT_EQ(view_->listenerCount, std::make_pair(c.label, c.color));
        EXPECT_EQ(view_->badge, c.badge);
    }
    EXPECT_EQ(log_.count("❌ Listener count notification missing count value"), 2);

    server_->listeners = 2;
    queue_.advance(4999ms);
    EXPECT_FALSE(log_.contains("👥 Listener count updated: 2"));
    queue_.advance(1ms);
    ASSERT_TRUE(queue_.runUntil([&] { return log_.contains("👥 Listener count updated: 2"); }));
    EXPECT_EQ(view_->listenerCount.first, "👥 Active Listeners: 2");
}

TEST_F(ViewControllerTest, FailedOrLostCaptureShowsAudioErrorUntilADeviceChoiceRestartsIt) {
    for (const bool lost : {false, true}) {
        SCOPED_TRACE(lost ? "lost while streaming" : "failed at start");
        capture_.setDevices({{"USB Mic", "usb-mic"}}, {{7, "usb-mic"}});
        capture_.failNextStarts(lost ? "" : "Connection refused");
        start();
        if (lost) {
            controller_->toggleStreaming();
            queue_.runUntilIdle();
            capture_.loseCapture("the PulseAudio server went away");
        }
        queue_.runUntilIdle();
        EXPECT_TRUE(log_.contains(lost ? "❌ Audio capture lost: the PulseAudio server went away"
                                       : "❌ Failed to start audio monitoring: Connection refused"));
        EXPECT_TRUE(log_.contains("✅ Audio monitoring started"));  // startup goes on after a failed start
        EXPECT_EQ(view_->statuses.back(), std::make_pair(std::string("Status: Audio Error"), LabelColor::systemRed));
        ASSERT_EQ(view_->alerts.size(), 1u);
        EXPECT_EQ(view_->alerts[0], (Alert{AlertStyle::warning, "Audio Engine Error",
                                           (lost ? "Audio capture stopped: the PulseAudio server went away"
                                                 : "Failed to start audio monitoring: Connection refused") +
                                               std::string("\n\nTry selecting a different audio input device.")}));
        capture_.failNextStarts("");
        controller_->deviceChanged("USB Mic");
        queue_.advance(500ms);
        EXPECT_TRUE(capture_.isRunning());
        EXPECT_EQ(view_->status(), lost ? "Status: Streaming" : "Status: Monitoring");
    }
}

TEST_F(ViewControllerTest, LostCaptureIsRetriedQuietlyAndStreamingResumesByItself) {
    for (const bool lost : {true, false}) {
        SCOPED_TRACE(lost ? "lost while streaming" : "failed at start");
        log_.clear();
        capture_.failNextStarts(lost ? "" : "No such device");
        start();
        controller_->toggleStreaming();
        queue_.runUntilIdle();
        if (lost) {
            capture_.failNextStarts("No such device");
            capture_.loseCapture("the audio input went away");
            queue_.runUntilIdle();
        }
        EXPECT_FALSE(server_->audioFlowing) << "listeners are told to wait";
        EXPECT_EQ(view_->status(), "Status: Audio Error");
        const int starts = capture_.startCount();
        queue_.advance(9s);
        EXPECT_EQ(capture_.startCount(), starts + 3) << "a retry every three seconds";
        EXPECT_EQ(log_.count(lost ? "❌ Audio capture lost: the audio input went away"
                                  : "❌ Failed to start audio monitoring: No such device"),
                  1);
        EXPECT_EQ(view_->alerts.size(), 1u);
        EXPECT_TRUE(server_->stopped == false && !server_->audioFlowing);

        capture_.failNextStarts("");  // plugged back in
        queue_.advance(3s);
        EXPECT_TRUE(capture_.isRunning());
        EXPECT_TRUE(server_->audioFlowing);
        EXPECT_EQ(view_->status(), "Status: Streaming");
        queue_.advance(30s);
        EXPECT_EQ(capture_.startCount(), starts + 4) << "no retries once it runs";
    }
}

TEST_F(ViewControllerTest, ChoosingADeviceStoresItAndOnlyAListedOneSwitchesTheDefaultAndRestarts) {
    struct Case {
        std::string title;
        std::vector<std::uint32_t> defaultChanges;
        bool restarted;
        std::string line;
    };
    const Case cases[] = {
        {"Gone Mic", {}, false, "Could not find device: Gone Mic"},
        {"Odd Mic", {}, true, "Selected device UID: odd"},  // listed, but not in the system table
        {"USB Mic", {7}, true, "Set default input device to ID: 7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        capture_.setDevices({{"USB Mic", "usb-mic"}, {"Odd Mic", "odd"}}, {{7, "usb-mic"}});
        capture_.setFormat(core::AudioFormat{48000.0, 1});
        start();
        const int starts = capture_.startCount();
        capture_.setFormat(core::AudioFormat{44100.0, 2});
        controller_->deviceChanged(c.title);
        EXPECT_TRUE(log_.contains(c.line));
        EXPECT_EQ(store_->stringForKey(key::kSelectedAudioDevice), c.title);
        EXPECT_EQ(capture_.defaultInputChanges(), c.defaultChanges);
        EXPECT_EQ(capture_.isRunning(), !c.restarted);
        queue_.advance(499ms);
        EXPECT_EQ(capture_.isRunning(), !c.restarted);
        queue_.advance(1ms);
        EXPECT_TRUE(capture_.isRunning());
        EXPECT_EQ(capture_.startCount(), starts + (c.restarted ? 1 : 0));
        auto formats = std::vector<core::AudioFormat>{{48000.0, 1}};
        if (c.restarted) formats.push_back({44100.0, 2});
        EXPECT_EQ(server_->formats, formats);
    }
}

TEST_F(ViewControllerTest, StoredChoicesAreRestored) {
    capture_.setDevices({{"Built-in", "a"}, {"USB Mic", "b"}}, {});
    for (const auto& [stored, selected] : std::vector<std::pair<std::optional<std::string>, std::optional<std::size_t>>>{
             {std::nullopt, std::nullopt}, {"USB Mic", 1}, {"Gone Mic", std::nullopt}}) {
        store_->setString(key::kSelectedAudioDevice, stored);
        start();
        EXPECT_EQ(view_->deviceItems, (Lines{"Built-in", "USB Mic"}));
        EXPECT_EQ(view_->selectedDevice, selected);
        EXPECT_TRUE(capture_.defaultInputChanges().empty());
    }
    store_->setBool(key::kTranscriptPanelShown, true);
    start();
    EXPECT_TRUE(log_.contains("📝 Restoring transcript panel from persisted state"));
    EXPECT_EQ(view_->transcriptTinted, true);
    queue_.advance(499ms);
    EXPECT_EQ(view_->panelOpenings, 0);
    queue_.advance(1ms);
    EXPECT_EQ(view_->panelOpenings, 1);
}

TEST_F(ViewControllerTest, AlertsAreShownOnTheMainQueueAsWarningsOnlyForErrors) {
    start();
    controller_->showAlert("Error", "Could not save");
    controller_->showAlert("Authorization Required", "Please allow");
    EXPECT_TRUE(view_->alerts.empty());
    queue_.runUntilIdle();
    EXPECT_EQ(view_->alerts, (std::vector<Alert>{{AlertStyle::warning, "Error", "Could not save"},
                                                 {AlertStyle::informational, "Authorization Required", "Please allow"}}));
}

TEST_F(ViewControllerTest, CleanupStopsEverythingAndDeferredStepsDieWithTheController) {
    store_->setBool(key::kIsStreaming, true);
    start();
    controller_->cleanup();
    EXPECT_FALSE(capture_.isRunning());
    EXPECT_TRUE(server_->stopped);
    log_.clear();
    notifications_.post("listenerCountChanged", {{"count", std::int64_t{4}}});
    EXPECT_TRUE(log_.lines().empty());
    controller_.reset();
    queue_.advance(6s);
    EXPECT_TRUE(view_->statuses.empty());
    EXPECT_TRUE(server_->streamingCalls.empty());
}

TEST_F(ViewControllerTest, MidiStepComesAfterTheServerAndItsCommandsDriveStreaming) {
    auto backend = std::make_shared<lumeno::testing::FakeMIDIBackend>();
    std::shared_ptr<midi::MIDIController> midi;
    midiFactory_ = [&] { return midi = midi::MIDIController::create(backend, {queue_, notifications_, log_, *store_}); };
    store_->setBool(key::kMidiEnabled, true);
    start();
    const auto afterServer = linesAfter("✅ Server started");
    ASSERT_FALSE(afterServer.empty());
    ASSERT_EQ(afterServer.front(), "🔧 Setting up MIDI control...");
    const auto observers = std::find(afterServer.begin(), afterServer.end(), "🔧 Setting up observers...");
    EXPECT_EQ(std::count(afterServer.begin(), observers, "✅ MIDI control setup complete"), 2);

    midi->setStartCommand(midi::MIDICommand::learned(midi::MIDIMessageType::noteOn, 0, 60));
    midi->setStopCommand(midi::MIDICommand::learned(midi::MIDIMessageType::noteOn, 0, 62));
    // Two starts leave streaming on; a stop while stopped changes nothing.
    for (const auto& [note, streamingAfter] : {std::pair{60, true}, {60, true}, {62, false}, {62, false}}) {
        backend->deliver({0x90, std::uint8_t(note), 100});
        queue_.runUntilIdle();
        EXPECT_EQ(controller_->isStreaming(), streamingAfter) << note;
    }
    EXPECT_EQ(server_->streamingCalls, (std::vector<bool>{true, false}));
}

}  // namespace

TEST_F(ViewControllerTest, ListenerAddressUsesThePortAndTheBoundAddressAndDisablesTheQRButtonWithoutOne) {
    struct Case {
        std::vector<InterfaceAddress> interfaces;
        bool fail;
        std::uint16_t port;
        std::string bind;
        std::pair<std::string, bool> address;
        std::optional<std::string> url;
    };
    const std::vector<InterfaceAddress> wired{{"eth0", true, "10.0.0.5"}};
    const Case cases[] = {
        {wired, false, 8080, "0.0.0.0", {"Access at: 10.0.0.5:8080/listen", true}, "http://10.0.0.5:8080/listen"},
        {wired, false, 9000, "0.0.0.0", {"Access at: 10.0.0.5:9000/listen", true}, "http://10.0.0.5:9000/listen"},
        {wired, false, 8080, "10.0.0.9", {"Access at: 10.0.0.9:8080/listen", true}, "http://10.0.0.9:8080/listen"},
        {{{"lo", true, "127.0.0.1", true, true}}, false, 8080, "0.0.0.0", {"No network connection found", false}, {}},
        {{}, true, 8080, "0.0.0.0", {"No network connection found", false}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.first);
        interfaces_ = c.interfaces;
        interfacesFail_ = c.fail;
        port_ = c.port;
        bindAddress_ = c.bind;
        start();
        EXPECT_EQ(view_->address, c.address);
        EXPECT_EQ(controller_->currentURL(), c.url);
        EXPECT_EQ(log_.contains("❌ Failed to get network interfaces"), c.fail);
        EXPECT_EQ(log_.contains("❌ No network connection found, QR button disabled"), !c.url);
        log_.clear();
    }
}

TEST_F(ViewControllerTest, QRCodeIsSavedAsAPngWhereTheOperatorChoseOrTheFailureIsShown) {
    const auto dir = std::filesystem::temp_directory_path() / ("lumeno-qr-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    struct Case {
        std::optional<std::filesystem::path> destination;
        std::vector<Alert> alerts;
        std::string line;
    };
    const Case cases[] = {
        {dir / "code.png",
         {{AlertStyle::informational, "Success",
           "QR code saved successfully!\n\nYour listeners can scan this code to quickly connect to your audio stream."}},
         "✅ QR code saved successfully"},
        {std::nullopt, {}, "📱 QR code save cancelled"},
        {dir / "missing" / "code.png", {}, "❌ Failed to write QR code file: "},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        view_->alerts.clear();
        view_->qrDestination = c.destination;
        controller_->generateQRCode();
        ASSERT_TRUE(queue_.runUntil([&] { return log_.containsPrefix(c.line); }));
        queue_.runUntil([&] { return !c.destination || !view_->alerts.empty(); });
        if (c.line.starts_with("❌")) {
            ASSERT_EQ(view_->alerts.size(), 1u);
            EXPECT_EQ(view_->alerts[0].messageText, "Error");
            EXPECT_TRUE(view_->alerts[0].informativeText.starts_with("Failed to save QR code: "));
        } else {
            EXPECT_EQ(view_->alerts, c.alerts);
        }
    }
    std::ifstream png(dir / "code.png", std::ios::binary);
    std::string signature(8, '\0');
    png.read(signature.data(), 8);
    EXPECT_EQ(signature, "\x89PNG\r\n\x1a\n");
    std::filesystem::remove_all(dir);

    interfaces_.clear();
    start();
    controller_->generateQRCode();
    queue_.runUntilIdle();
    EXPECT_EQ(view_->alerts, (std::vector<Alert>{{AlertStyle::warning, "Error",
                                                  "No URL available for QR code generation.\n\nMake sure your network "
                                                  "connection is active and try again."}}));
}

TEST_F(ViewControllerTest, TranscriptToggleStoresEachStateAndTheLastToggleWins) {
    start();
    for (int toggles = 1; toggles <= 3; ++toggles) controller_->toggleTranscriptPanel();
    EXPECT_EQ(view_->panelOpenings, 2);
    EXPECT_EQ(view_->panelClosings, 1);
    EXPECT_TRUE(controller_->transcriptPanelShown());
    EXPECT_EQ(store_->boolForKey(key::kTranscriptPanelShown), true);
    EXPECT_EQ(log_.count("📝 Transcript panel state saved: true"), 2);
    EXPECT_EQ(log_.count("📝 Transcript panel state saved: false"), 1);

    controller_->viewDidAppear(400.0);
    EXPECT_TRUE(log_.contains("📏 Stored original window width: 400.0"));
}

TEST_F(ViewControllerTest, DevicesOfTheSameNameAreToldApartByTheirIdentifier) {
    capture_.setDevices({{"A", "a1"}, {"B", "b"}, {"A", "a2"}}, {{1, "a1"}, {2, "b"}, {3, "a2"}});
    store_->setString(key::kSelectedAudioDevice, std::string("B"));
    start();
    EXPECT_EQ(view_->deviceItems, (Lines{"A", "B", "A"}));
    EXPECT_EQ(view_->selectedDevice, 1u);

    controller_->deviceChanged("A", std::string("a2"));
    EXPECT_EQ(capture_.defaultInputChanges(), (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(view_->selectedDevice, 2u);
    // By name alone (the command line), the first of that name.
    controller_->deviceChanged("A");
    EXPECT_EQ(capture_.defaultInputChanges(), (std::vector<std::uint32_t>{3, 1}));
    EXPECT_EQ(view_->selectedDevice, 0u);
}

TEST_F(ViewControllerTest, WithoutControlsTheStatusAndAlertsStillShow) {
    interfaces_.clear();
    start({}, false);
    controller_->toggleStreaming();
    controller_->toggleTranscriptPanel();
    controller_->generateQRCode();
    queue_.runUntilIdle();
    EXPECT_EQ(view_->status(), "Status: Streaming");
    EXPECT_EQ(view_->alerts.size(), 1u);
    EXPECT_EQ(view_->panelOpenings, 0);
    EXPECT_TRUE(view_->deviceItems.empty());
}

TEST(HeadlessViewTest, LogsEachStatusChangeOnceAndAlertsOnOneLine) {
    lumeno::testing::CaptureLogger log;
    HeadlessView view(log);
    view.setStatus("Status: Monitoring", LabelColor::systemOrange);
    view.setStatus("Status: Monitoring", LabelColor::systemOrange);
    view.setStatus("Status: Streaming", LabelColor::systemGreen);
    view.showAlert({AlertStyle::warning, "Audio Engine Error", "Failed: x\n\nTry another."});
    EXPECT_EQ(log.lines(), (Lines{"Status: Monitoring", "Status: Streaming",
                                  "⚠️ Alert: Audio Engine Error: Failed: x Try another."}));
}
