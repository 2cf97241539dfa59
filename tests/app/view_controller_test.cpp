#include "app/view_controller.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/headless_view.h"
#include "fakes/capture_logger.h"
#include "fakes/fake_capture_source.h"
#include "fakes/virtual_main_queue.h"
#include "fake_midi_backend.h"
#include "prefs/keys.h"

using namespace lumeno;
using namespace lumeno::app;
using namespace std::chrono_literals;
using lumeno::testing::CaptureLogger;
using lumeno::testing::FakeCaptureSource;
using lumeno::testing::VirtualMainQueue;

namespace {

class FakeView final : public MainView {
public:
    void setStatus(const std::string& text, LabelColor color) override { statuses.emplace_back(text, color); }
    void setStreamButtonTitle(const std::string& title) override { buttonTitle = title; }
    void setAutoGainChecked(bool checked) override { autoGainChecked = checked; }
    void setDeviceItems(const std::vector<std::string>& titles) override { deviceItems = titles; }
    void selectDeviceItem(std::size_t index) override { selectedDevice = index; }
    void updateLevel(float level) override { levels.push_back(level); }
    void setListenerCount(const std::string& text, LabelColor color) override { listenerCount = {text, color}; }
    void setDockBadge(const std::string& label) override { badges.push_back(label); }
    void setTranscriptButtonTinted(bool tinted) override { transcriptTinted = tinted; }
    void showTranscriptPanel() override { ++panelOpenings; }
    void showAlert(const Alert& alert) override { alerts.push_back(alert); }

    std::string status() const { return statuses.empty() ? "Status: Stopped" : statuses.back().first; }

    std::vector<std::pair<std::string, LabelColor>> statuses;
    std::string buttonTitle = "Start Streaming";
    std::optional<bool> autoGainChecked;
    std::vector<std::string> deviceItems;
    std::optional<std::size_t> selectedDevice;
    std::vector<float> levels;
    std::pair<std::string, LabelColor> listenerCount{"👥 Active Listeners: 0", LabelColor::secondaryLabel};
    std::vector<std::string> badges;
    std::optional<bool> transcriptTinted;
    int panelOpenings = 0;
    std::vector<Alert> alerts;
};

class FakeServer final : public ListenerServer {
public:
    void start() override { started = true; }
    void stop() override { stopped = true; }
    void setStreaming(bool streaming) override { streamingCalls.push_back(streaming); }
    void updateAudioFormat(server::AudioFormat format) override { formats.push_back(format); }
    void sendAudioData(audio::WireChunk chunk) override { chunks.push_back(std::move(chunk)); }
    int uniqueListenerCount() const override { return listeners.load(); }

    bool started = false;
    bool stopped = false;
    std::vector<bool> streamingCalls;
    std::vector<server::AudioFormat> formats;
    std::vector<audio::WireChunk> chunks;
    std::atomic<int> listeners{0};
};

class FakeSpeech final : public audio::SpeechFeed {
public:
    bool isRecognizing() const override { return recognizing; }
    void append(const audio::AudioBuffer& buffer) override {
        appended.emplace_back(buffer.channels[0], buffer.channels[0] + buffer.frameLength);
        pointers.push_back(buffer.channels[0]);
    }
    bool recognizing = true;
    std::vector<std::vector<float>> appended;
    std::vector<const float*> pointers;
};

// A captured buffer of constant samples (so its RMS is the value's magnitude).
struct Samples {
    explicit Samples(std::vector<std::vector<float>> channels, double rate = 48000.0) : data(std::move(channels)) {
        for (auto& c : data) pointers.push_back(c.data());
        const auto frames = static_cast<std::uint32_t>(data[0].size());
        buffer = audio::AudioBuffer{pointers.data(), static_cast<std::uint32_t>(data.size()), frames, frames, rate};
    }
    static Samples constant(float value, std::size_t channels = 1, std::size_t frames = 64) {
        return Samples(std::vector<std::vector<float>>(channels, std::vector<float>(frames, value)));
    }
    std::vector<std::vector<float>> data;
    std::vector<const float*> pointers;
    audio::AudioBuffer buffer;
};

class ViewControllerTest : public ::testing::Test {
protected:
    void start(ViewController::Options options = {}, bool withSpeech = false) {
        controller_ = ViewController::create(
            {queue_, background_, notifications_, log_, preferences_, capture_, capture_,
             [this](std::optional<server::AudioFormat> format) {
                 serverCreatedWith_ = format;
                 server_ = std::make_shared<FakeServer>();
                 return server_;
             },
             withSpeech ? &speech_ : nullptr, midiFactory_},
            view_, options);
        controller_->viewDidLoad();
    }
    void deliver(const Samples& samples) { capture_.deliver(samples.buffer); }
    std::vector<std::string> linesAfter(const std::string& marker) const {
        auto lines = log_.lines();
        auto it = std::find(lines.begin(), lines.end(), marker);
        return it == lines.end() ? std::vector<std::string>{} : std::vector<std::string>(it + 1, lines.end());
    }

    VirtualMainQueue queue_;
    CaptureLogger log_;
    core::NotificationCenter notifications_;
    core::BackgroundQueue background_;  // after the queue: its tasks post to it
    std::shared_ptr<prefs::PreferencesStore> store_ = std::make_shared<prefs::PreferencesStore>(log_);
    prefs::PreferencesManager preferences_{store_};
    FakeCaptureSource capture_;
    FakeSpeech speech_;
    std::shared_ptr<FakeView> view_ = std::make_shared<FakeView>();
    std::shared_ptr<FakeServer> server_;
    std::optional<std::optional<server::AudioFormat>> serverCreatedWith_;
    std::function<std::shared_ptr<midi::MIDIController>()> midiFactory_;
    std::shared_ptr<ViewController> controller_;
};

TEST_F(ViewControllerTest, StartupRunsEveryStepInOrder) {
    start();
    const std::vector<std::string> expected = {
        "=== Lumeno starting ===",
        "🔧 Starting UI setup...",
        "Setting up UI...",
        "UI elements created, updating device list...",
        "UI setup complete",
        "✅ UI setup complete",
        "🔧 Starting audio engine setup...",
        "Setting up audio engine...",
        "Audio format: 48000.0Hz, 1 channels",
        "✅ Audio engine setup complete",
        "🔧 Loading persisted state...",
        "📝 Transcript panel was hidden, keeping it closed",
        "✅ State loaded",
        "🔧 Starting server...",
        "✅ Server started",
        "🔧 Setting up observers...",
        "🔧 Starting audio monitoring...",
        "🎵 Audio format: 48000.0Hz, 1 channels",
        "✅ Server audio format updated to 48000.0Hz",
        "✅ Audio monitoring started successfully",
        "✅ Audio monitoring started",
        "🎉 === Lumeno startup complete ===",
    };
    EXPECT_EQ(log_.lines(), expected);
    queue_.runUntilIdle();
    EXPECT_EQ(linesAfter("🎉 === Lumeno startup complete ==="),
              (std::vector<std::string>{"🏷️ Updating dock badge: 0", "👥 Initialized listener count to 0"}));
    EXPECT_EQ(serverCreatedWith_, std::optional<server::AudioFormat>(server::AudioFormat{48000.0, 1}));
    EXPECT_TRUE(server_->started);
    // Stored streaming off: monitoring from the state-loading step on.
    EXPECT_EQ(view_->statuses.front(), std::make_pair(std::string("Status: Monitoring"), LabelColor::systemOrange));
    EXPECT_EQ(view_->buttonTitle, "Start Streaming");
}

TEST_F(ViewControllerTest, StoredStreamingResumesAtOneSecondAndNoAudioIsSentBefore) {
    store_->setBool(prefs::key::kIsStreaming, true);
    start();
    EXPECT_EQ(view_->status(), "Status: Stopped");
    queue_.runUntilIdle();
    EXPECT_EQ(view_->status(), "Status: Monitoring");

    queue_.advance(999ms);
    deliver(Samples::constant(0.1f));
    EXPECT_TRUE(server_->chunks.empty());
    EXPECT_TRUE(server_->streamingCalls.empty());

    queue_.advance(1ms);
    EXPECT_EQ(view_->status(), "Status: Streaming");
    EXPECT_EQ(view_->statuses.back().second, LabelColor::systemGreen);
    EXPECT_EQ(view_->buttonTitle, "Stop Streaming");
    EXPECT_EQ(server_->streamingCalls, std::vector<bool>{true});
    deliver(Samples::constant(0.1f));
    EXPECT_EQ(server_->chunks.size(), 1u);
}

TEST_F(ViewControllerTest, DemoStreamsAtOneSecondWithoutStoringIt) {
    start({.streamAtStartup = true});
    queue_.advance(1s);
    EXPECT_TRUE(controller_->isStreaming());
    EXPECT_FALSE(store_->hasKey(prefs::key::kIsStreaming));
}

TEST_F(ViewControllerTest, ToggleStreamingPersistsAndDrivesTheServer) {
    start();
    queue_.runUntilIdle();
    controller_->toggleStreaming();
    EXPECT_TRUE(store_->boolForKey(prefs::key::kIsStreaming));
    EXPECT_EQ(view_->status(), "Status: Streaming");
    EXPECT_EQ(view_->buttonTitle, "Stop Streaming");
    controller_->toggleStreaming();
    EXPECT_FALSE(store_->boolForKey(prefs::key::kIsStreaming));
    EXPECT_TRUE(store_->hasKey(prefs::key::kIsStreaming));
    EXPECT_EQ(view_->status(), "Status: Monitoring");
    EXPECT_EQ(view_->buttonTitle, "Start Streaming");
    EXPECT_EQ(server_->streamingCalls, (std::vector<bool>{true, false}));
}

TEST_F(ViewControllerTest, AutoGainOffResetsTheGainAndOnStartsSmoothingFromOne) {
    start();
    controller_->toggleAutoGain(true);
    EXPECT_TRUE(store_->boolForKey(prefs::key::kAutoGainEnabled));
    deliver(Samples::constant(0.05f));
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.1f);

    controller_->toggleAutoGain(false);
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.0f);
    EXPECT_FALSE(store_->boolForKey(prefs::key::kAutoGainEnabled));
    EXPECT_TRUE(log_.contains("Auto Gain: Disabled"));
    deliver(Samples::constant(0.05f));
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.0f);

    controller_->toggleAutoGain(true);
    deliver(Samples::constant(0.05f));
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.1f);
}

TEST_F(ViewControllerTest, EveryHundredthBufferLogsOneLevelLine) {
    start();
    log_.clear();
    const auto buffer = Samples::constant(0.2f);
    for (int i = 0; i < 99; ++i) deliver(buffer);
    EXPECT_FALSE(log_.containsPrefix("🔊"));
    deliver(buffer);
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"🔊 Audio level: RMS=0.2000, Display=0.6000"});
    for (int i = 0; i < 100; ++i) deliver(buffer);
    EXPECT_EQ(log_.count("🔊 Audio level: RMS=0.2000, Display=0.6000"), 2);
}

TEST_F(ViewControllerTest, MeterMovesOnTheMainQueueForUsableBuffersOnly) {
    store_->setBool(prefs::key::kAutoGainEnabled, true);
    store_->setBool(prefs::key::kSpeechRecognitionEnabled, true);
    start({}, true);
    controller_->toggleStreaming();
    queue_.runUntilIdle();
    deliver(Samples::constant(0.0f));       // silence: no gain change, meter at 0
    deliver(Samples::constant(0.3f, 3));    // three channels: ignored entirely
    EXPECT_TRUE(view_->levels.empty());
    queue_.runUntilIdle();
    EXPECT_EQ(view_->levels, std::vector<float>{0.0f});
    EXPECT_FLOAT_EQ(controller_->currentGain(), 1.0f);
    EXPECT_EQ(server_->chunks.size(), 1u);
    EXPECT_EQ(speech_.appended.size(), 1u);
    EXPECT_EQ(controller_->audioDebugCounter(), 1);
}

TEST_F(ViewControllerTest, StreamedChunkIsTheBufferInWireFormatWithTheGain) {
    store_->setBool(prefs::key::kAutoGainEnabled, true);
    start();
    // Quiet input drives the smoothed gain up towards 4.0 ...
    for (int i = 0; i < 40; ++i) deliver(Samples::constant(0.01f));
    controller_->toggleStreaming();
    // ... so a loud buffer (RMS 0.5) gets its gain capped at 0.95 / 0.5 = 1.9.
    Samples stereo(std::vector<std::vector<float>>{{0.5f, -0.5f}, {-0.5f, 0.5f}});
    deliver(stereo);
    EXPECT_GT(controller_->currentGain(), 1.9f);
    ASSERT_EQ(server_->chunks.size(), 1u);
    const auto s = [](float v) { return static_cast<std::int16_t>(v * 32767.0f); };
    const std::int16_t expected[] = {s(0.95f), s(-0.95f), s(-0.95f), s(0.95f)};
    ASSERT_EQ(server_->chunks[0]->size(), 8u);
    for (int i = 0; i < 4; ++i) {
        const auto& bytes = *server_->chunks[0];
        EXPECT_EQ(static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)), expected[i]) << i;
    }
}

TEST_F(ViewControllerTest, SpeechFeedGetsAudioOnlyWhileStreamingAndWanted) {
    struct Case {
        const char* name;
        bool streaming;
        bool speechEnabled;
        bool recognizing;
        bool autoGain;
        float sample;
        std::vector<float> expected;  // empty: nothing appended
        bool sameBuffer;
    };
    const Case cases[] = {
        {"not streaming", false, true, true, false, 0.1f, {}, false},
        {"speech switched off", true, false, true, false, 0.1f, {}, false},
        {"session not recognizing", true, true, false, false, 0.1f, {}, false},
        {"auto-gain off: the captured buffer itself", true, true, true, false, 0.1f, {0.1f, 0.1f}, true},
        {"auto-gain at unit gain: the captured buffer", true, true, true, true, 0.0f, {0.0f, 0.0f}, true},
        {"auto-gain applied: a limited copy", true, true, true, true, 0.05f, {0.055f, 0.055f}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        controller_.reset();
        capture_.stop();
        store_->setBool(prefs::key::kIsStreaming, false);
        store_->setBool(prefs::key::kSpeechRecognitionEnabled, c.speechEnabled);
        store_->setBool(prefs::key::kAutoGainEnabled, c.autoGain);
        speech_ = FakeSpeech();
        speech_.recognizing = c.recognizing;
        start({}, true);
        if (c.streaming) controller_->toggleStreaming();
        Samples samples = Samples::constant(c.sample, 1, 2);
        deliver(samples);
        if (c.expected.empty()) {
            EXPECT_TRUE(speech_.appended.empty());
            continue;
        }
        ASSERT_EQ(speech_.appended.size(), 1u);
        EXPECT_NEAR(speech_.appended[0][0], c.expected[0], 1e-6f);
        EXPECT_EQ(speech_.pointers[0] == samples.pointers[0], c.sameBuffer);
    }
}

TEST_F(ViewControllerTest, ListenerCountShowsInLabelAndBadgeAndTextCountsAreRejected) {
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
        EXPECT_EQ(view_->badges.back(), c.badge);
    }
    EXPECT_TRUE(log_.contains("👥 Listener count updated: 3"));
    EXPECT_TRUE(log_.contains("🏷️ Updating dock badge: 3"));
    EXPECT_EQ(log_.count("❌ Listener count notification missing count value"), 2);
}

TEST_F(ViewControllerTest, ListenerCountIsRepublishedEveryFiveSeconds) {
    start();
    queue_.runUntilIdle();
    server_->listeners = 2;
    queue_.advance(4999ms);
    EXPECT_FALSE(log_.contains("👥 Listener count updated: 2"));
    queue_.advance(1ms);
    ASSERT_TRUE(queue_.runUntil([&] { return log_.contains("👥 Listener count updated: 2"); }));
    EXPECT_EQ(view_->listenerCount.first, "👥 Active Listeners: 2");
}

TEST_F(ViewControllerTest, EngineStartFailureShowsErrorAndADeviceChoiceRetries) {
    capture_.setDevices({{"USB Mic", "usb-mic"}}, {{7, "usb-mic"}});
    capture_.failNextStarts("Connection refused");
    start();
    EXPECT_TRUE(log_.contains("❌ Failed to start audio monitoring: Connection refused"));
    EXPECT_TRUE(log_.contains("✅ Audio monitoring started"));
    queue_.runUntilIdle();
    EXPECT_EQ(view_->statuses.back(), std::make_pair(std::string("Status: Audio Error"), LabelColor::systemRed));
    ASSERT_EQ(view_->alerts.size(), 1u);
    EXPECT_EQ(view_->alerts[0], (Alert{AlertStyle::warning, "Audio Engine Error",
                                       "Failed to start audio monitoring: Connection refused\n\nTry selecting a "
                                       "different audio input device."}));

    capture_.failNextStarts("");
    controller_->deviceChanged("USB Mic");
    queue_.advance(500ms);
    EXPECT_TRUE(capture_.isRunning());
    EXPECT_EQ(view_->status(), "Status: Monitoring");
}

TEST_F(ViewControllerTest, ChoosingADeviceSwitchesTheDefaultAndRestartsHalfASecondLater) {
    capture_.setDevices({{"Built-in", "builtin"}, {"USB Mic", "usb-mic"}}, {{0, "builtin"}, {7, "usb-mic"}});
    start();
    capture_.setFormat(audio::CaptureFormat{44100.0, 2});
    controller_->deviceChanged("USB Mic");
    EXPECT_EQ(store_->stringForKey(prefs::key::kSelectedAudioDevice), "USB Mic");
    EXPECT_FALSE(capture_.isRunning());
    EXPECT_EQ(capture_.defaultInputChanges(), std::vector<std::uint32_t>{7});
    for (const auto& line : {"Device changed to: USB Mic", "Selected device UID: usb-mic",
                             "Set default input device to ID: 7"})
        EXPECT_TRUE(log_.contains(line)) << line;

    queue_.advance(499ms);
    EXPECT_FALSE(capture_.isRunning());
    queue_.advance(1ms);
    EXPECT_TRUE(capture_.isRunning());
    EXPECT_EQ(server_->formats.back(), (server::AudioFormat{44100.0, 2}));
}

TEST_F(ViewControllerTest, UnknownDevicesLeaveTheDefaultAlone) {
    struct Case {
        std::string title;
        bool restarted;  // a known device missing from the system table still restarts capture
        std::string line;
    };
    const Case cases[] = {
        {"Gone Mic", false, "Could not find device: Gone Mic"},
        {"Odd Mic", true, "Selected device UID: odd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        controller_.reset();
        capture_.stop();
        capture_.setDevices({{"Odd Mic", "odd"}}, {});
        start();
        const int starts = capture_.startCount();
        controller_->deviceChanged(c.title);
        EXPECT_TRUE(log_.contains(c.line));
        EXPECT_EQ(store_->stringForKey(prefs::key::kSelectedAudioDevice), c.title);
        EXPECT_EQ(capture_.isRunning(), !c.restarted);
        queue_.advance(500ms);
        EXPECT_TRUE(capture_.isRunning());
        EXPECT_EQ(capture_.startCount(), starts + (c.restarted ? 1 : 0));
        EXPECT_TRUE(capture_.defaultInputChanges().empty());
        EXPECT_FALSE(log_.containsPrefix("Set default input device"));
    }
}

TEST_F(ViewControllerTest, StoredDeviceTitleSelectsItsItem) {
    capture_.setDevices({{"Built-in", "a"}, {"USB Mic", "b"}}, {});
    for (const auto& [stored, selected] :
         std::vector<std::pair<std::optional<std::string>, std::optional<std::size_t>>>{
             {std::nullopt, std::nullopt}, {"USB Mic", 1}, {"Gone Mic", std::nullopt}}) {
        controller_.reset();
        capture_.stop();
        view_ = std::make_shared<FakeView>();
        store_->setString(prefs::key::kSelectedAudioDevice, stored);
        start();
        EXPECT_EQ(view_->deviceItems, (std::vector<std::string>{"Built-in", "USB Mic"}));
        EXPECT_EQ(view_->selectedDevice, selected);
        EXPECT_TRUE(capture_.defaultInputChanges().empty());
    }
}

TEST_F(ViewControllerTest, LostCaptureShowsAudioErrorUntilADeviceChoiceRestartsIt) {
    capture_.setDevices({{"USB Mic", "usb-mic"}}, {{7, "usb-mic"}});
    start();
    controller_->toggleStreaming();
    queue_.runUntilIdle();
    capture_.loseCapture("the PulseAudio server went away: Connection terminated");
    queue_.runUntilIdle();
    EXPECT_TRUE(log_.contains("❌ Audio capture lost: the PulseAudio server went away: Connection terminated"));
    EXPECT_EQ(view_->status(), "Status: Audio Error");
    ASSERT_EQ(view_->alerts.size(), 1u);
    EXPECT_EQ(view_->alerts[0].messageText, "Audio Engine Error");

    controller_->deviceChanged("USB Mic");
    queue_.advance(500ms);
    queue_.runUntilIdle();
    EXPECT_TRUE(capture_.isRunning());
    // Restarted while streaming: the status says so.
    EXPECT_EQ(view_->status(), "Status: Streaming");
}

TEST_F(ViewControllerTest, StoredTranscriptPanelOpensAtHalfASecond) {
    store_->setBool(prefs::key::kTranscriptPanelShown, true);
    start();
    EXPECT_TRUE(log_.contains("📝 Restoring transcript panel from persisted state"));
    EXPECT_EQ(view_->transcriptTinted, true);
    queue_.advance(499ms);
    EXPECT_EQ(view_->panelOpenings, 0);
    queue_.advance(1ms);
    EXPECT_EQ(view_->panelOpenings, 1);
}

TEST_F(ViewControllerTest, AlertStyleIsWarningOnlyForError) {
    start();
    controller_->showAlert("Error", "Could not save");
    controller_->showAlert("Authorization Required", "Please allow");
    EXPECT_TRUE(view_->alerts.empty());
    queue_.runUntilIdle();
    ASSERT_EQ(view_->alerts.size(), 2u);
    EXPECT_EQ(view_->alerts[0], (Alert{AlertStyle::warning, "Error", "Could not save"}));
    EXPECT_EQ(view_->alerts[1], (Alert{AlertStyle::informational, "Authorization Required", "Please allow"}));
}

TEST_F(ViewControllerTest, CleanupStopsEverythingAndDeferredStepsDieWithTheController) {
    store_->setBool(prefs::key::kIsStreaming, true);
    start();
    controller_->cleanup();
    EXPECT_FALSE(capture_.isRunning());
    EXPECT_TRUE(server_->stopped);
    log_.clear();
    notifications_.post("listenerCountChanged", {{"count", std::int64_t{4}}});
    EXPECT_TRUE(log_.lines().empty());

    controller_.reset();
    queue_.advance(6s);
    EXPECT_EQ(view_->status(), "Status: Stopped");
    EXPECT_TRUE(server_->streamingCalls.empty());
}

TEST(HeadlessViewTest, LogsEachStatusChangeOnceAndAlertsOnOneLine) {
    CaptureLogger log;
    HeadlessView view(log);
    view.setStatus("Status: Stopped", LabelColor::secondaryLabel);
    view.setStatus("Status: Monitoring", LabelColor::systemOrange);
    view.setStatus("Status: Monitoring", LabelColor::systemOrange);
    view.setStatus("Status: Streaming", LabelColor::systemGreen);
    view.showAlert({AlertStyle::warning, "Audio Engine Error", "Failed: x\n\nTry another."});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Status: Monitoring", "Status: Streaming",
                                                     "⚠️ Alert: Audio Engine Error: Failed: x Try another."}));
}

}  // namespace

TEST_F(ViewControllerTest, MidiStepComesAfterTheServerAndItsCommandsDriveStreaming) {
    auto backend = std::make_shared<lumeno::testing::FakeMIDIBackend>();
    std::shared_ptr<midi::MIDIController> midi;
    midiFactory_ = [&] {
        if (!midi) midi = midi::MIDIController::create(backend, {queue_, notifications_, log_, *store_});
        return midi;
    };
    store_->setBool(prefs::key::kMidiEnabled, true);
    start();
    const auto afterServer = linesAfter("✅ Server started");
    ASSERT_FALSE(afterServer.empty());
    EXPECT_EQ(afterServer.front(), "🔧 Setting up MIDI control...");
    const auto observers = std::find(afterServer.begin(), afterServer.end(), "🔧 Setting up observers...");
    ASSERT_NE(observers, afterServer.end());
    EXPECT_EQ(std::count(afterServer.begin(), observers, "✅ MIDI control setup complete"), 2);

    queue_.advance(300ms);
    EXPECT_TRUE(log_.contains("🎹 MIDI enabled: true"));
    EXPECT_TRUE(log_.contains("🎹 Connected devices: 0"));

    using midi::MIDICommand;
    using midi::MIDIMessageType;
    midi->setStartCommand(MIDICommand::learned(MIDIMessageType::noteOn, 0, 60));
    midi->setStopCommand(MIDICommand::learned(MIDIMessageType::noteOn, 0, 62));
    struct Step {
        std::uint8_t note;
        bool streamingAfter;
    };
    // Two starts leave streaming on; a stop while stopped changes nothing.
    for (const Step step : {Step{60, true}, Step{60, true}, Step{62, false}, Step{62, false}}) {
        backend->deliver({0x90, step.note, 100});
        queue_.runUntilIdle();
        EXPECT_EQ(controller_->isStreaming(), step.streamingAfter) << int(step.note);
    }
    EXPECT_EQ(server_->streamingCalls, (std::vector<bool>{true, false}));
    EXPECT_TRUE(store_->hasKey(prefs::key::kIsStreaming));
}
