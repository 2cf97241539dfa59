#include "app/view_controller.h"

#include <gtest/gtest.h>

#include <future>

#include "fakes/capture_logger.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "fakes/virtual_main_queue.h"
#include "fake_midi_backend.h"
#include "prefs/keys.h"
#include "support/sample_buffer.h"
#include "support/temp_dir.h"

using namespace lumeno;
using namespace lumeno::app;
using namespace std::chrono_literals;
using lumeno::testing::SampleBuffer;
using Lines = std::vector<std::string>;
namespace key = prefs::key;

namespace {

using FakeView = lumeno::testing::FakeMainView;
using FakeServer = lumeno::testing::FakeListenerServer;

class ViewControllerTest : public ::testing::Test {
protected:
    void start(ViewController::Options options = {}) {
        controller_.reset();
        capture_.stop();
        view_ = std::make_shared<FakeView>();
        ViewController::Services services{queue_, background_, notifications_, log_, preferences_, capture_, capture_,
                                          [this](std::optional<core::AudioFormat>) {
                                              return server_ = std::make_shared<FakeServer>();
                                          },
                                          &speech_, midiFactory_};
        services.listenerPort = port_;
        services.bindAddress = bindAddress_;
        services.networkInterfaces = [this](bool&) { return interfaces_; };
        if (worker_) services.captureWorker = [this](std::function<void()> job) { worker_->submit(std::move(job)); };
        controller_ = ViewController::create(std::move(services), view_, options);
        controller_->viewDidLoad();
    }
    void deliver(const SampleBuffer& samples) { capture_.deliver(samples.buffer); }

    lumeno::testing::VirtualMainQueue queue_;
    lumeno::testing::CaptureLogger log_;
    core::NotificationCenter notifications_;
    core::BackgroundQueue background_;  // after the queue: its tasks post to it
    std::shared_ptr<prefs::PreferencesStore> store_ = std::make_shared<prefs::PreferencesStore>(log_);
    prefs::PreferencesManager preferences_{store_};
    lumeno::testing::FakeCaptureSource capture_;
    lumeno::testing::FakeSpeechFeed speech_;
    // A real capture worker, for the tests of a stuck sound server; the supervisor runs its jobs
    // inline without one. After the fakes its jobs use, before the controller.
    std::optional<core::BackgroundQueue> worker_;
    std::shared_ptr<FakeView> view_;
    std::shared_ptr<FakeServer> server_;
    std::function<std::shared_ptr<midi::MIDIController>()> midiFactory_;
    std::vector<InterfaceAddress> interfaces_{{"lo", true, "127.0.0.1", true, true}, {"eth0", true, "192.168.1.20"}};
    std::uint16_t port_ = 8080;
    std::string bindAddress_ = "0.0.0.0";
    std::shared_ptr<ViewController> controller_;
};

}  // namespace

// The step lines are how an operator follows a start-up in the journal, and the address line is
// what they read the listener address from.
TEST_F(ViewControllerTest, StartupRunsEveryStepInOrder) {
    start();
    Lines steps;
    for (const auto& line : log_.lines())
        if (line.starts_with("🔧") || line.starts_with("✅ URL") || line.starts_with("🎉")) steps.push_back(line);
    EXPECT_EQ(steps, (Lines{"🔧 Starting UI setup...", "✅ URL set to: http://192.168.1.20:8080/listen",
                            "🔧 Starting audio engine setup...", "🔧 Loading persisted state...",
                            "🔧 Starting server...", "🔧 Setting up observers...", "🔧 Starting audio monitoring...",
                            "🎉 === Lumeno startup complete ==="}));
    EXPECT_TRUE(server_->started);
}

TEST_F(ViewControllerTest, StoredOrDemoStreamingStartsAtOneSecondWithNoAudioBeforeAndTheToggleIsStored) {
    for (const bool demo : {false, true}) {
        SCOPED_TRACE(demo ? "demo" : "stored");
        store_->setBool(key::kIsStreaming, !demo);
        start({.streamAtStartup = demo});
        queue_.runUntilIdle();
        EXPECT_EQ(view_->status(), "Status: Monitoring");
        queue_.advance(999ms);
        deliver(SampleBuffer(0.1f));
        EXPECT_TRUE(server_->chunks.empty());
        EXPECT_TRUE(server_->streamingCalls.empty());

        queue_.advance(1ms);
        EXPECT_EQ(view_->statuses.back(), std::make_pair(std::string("Status: Streaming"), LabelColor::systemGreen));
        deliver(SampleBuffer(0.1f));
        EXPECT_EQ(server_->chunks.size(), 1u);
        EXPECT_EQ(store_->boolForKey(key::kIsStreaming), !demo);  // the demo's streaming is not stored

        controller_->toggleStreaming();
        EXPECT_EQ(store_->boolForKey(key::kIsStreaming), false);
        EXPECT_EQ(view_->status(), "Status: Monitoring");
        EXPECT_EQ(view_->buttonTitle, "Start Streaming");
        EXPECT_EQ(server_->streamingCalls, (std::vector<bool>{true, false}));
    }
}

// The tap thread never reads the store: a switch reaches it when the session announces it.
TEST_F(ViewControllerTest, SpeechSwitchReachesTheAudioPathWhenAnnouncedNotThroughTheStore) {
    store_->setBool(key::kSpeechRecognitionEnabled, true);
    start();
    controller_->toggleStreaming();
    deliver(SampleBuffer(0.1f));
    EXPECT_EQ(speech_.first.size(), 1u);
    store_->setBool(key::kSpeechRecognitionEnabled, false);  // as the preferences window writes it
    deliver(SampleBuffer(0.1f));
    EXPECT_EQ(speech_.first.size(), 2u);
    notifications_.post(speech::kSpeechRecognitionStatusChanged);
    deliver(SampleBuffer(0.1f));
    EXPECT_EQ(speech_.first.size(), 2u);
    EXPECT_EQ(view_->speechChecked, false);
}

// One alert per outage; the retries that follow are quiet.
TEST_F(ViewControllerTest, FailedOrLostCaptureShowsAnErrorOnceAndIsRetriedEveryThreeSecondsUntilItIsBack) {
    for (const bool lost : {false, true}) {
        SCOPED_TRACE(lost ? "lost while streaming" : "failed at start");
        log_.clear();
        capture_.failNextStarts(lost ? "" : "No such device");
        start();
        EXPECT_TRUE(log_.contains("🎉 === Lumeno startup complete ==="));
        controller_->toggleStreaming();
        queue_.runUntilIdle();
        if (lost) {
            capture_.failNextStarts("No such device");
            capture_.loseCapture("the audio input went away");
            queue_.runUntilIdle();
        }
        EXPECT_FALSE(server_->audioFlowing) << "listeners are told to wait";
        EXPECT_EQ(view_->statuses.back(), std::make_pair(std::string("Status: Audio Error"), LabelColor::systemRed));
        const std::string what = lost ? "Audio capture stopped: the audio input went away"
                                      : "Failed to start audio monitoring: No such device";
        ASSERT_EQ(view_->alerts, (std::vector<Alert>{{AlertStyle::warning, "Audio Engine Error",
                                                      what + "\n\nTry selecting a different audio input device."}}));
        const int starts = capture_.startCount();
        queue_.advance(9s);
        EXPECT_EQ(capture_.startCount(), starts + 3) << "a retry every three seconds";
        EXPECT_EQ(view_->alerts.size(), 1u);

        capture_.failNextStarts("");  // plugged back in
        queue_.advance(3s);
        EXPECT_TRUE(capture_.isRunning() && server_->audioFlowing);
        EXPECT_EQ(view_->status(), "Status: Streaming");
        queue_.advance(30s);
        EXPECT_EQ(capture_.startCount(), starts + 4) << "no retries once it runs";
    }
}

TEST_F(ViewControllerTest, ChoosingADeviceStoresItAndOnlyAListedOneSwitchesTheDefaultAndRestarts) {
    struct Case {
        std::string title;
        std::vector<std::uint32_t> defaultChanges;
        core::AudioFormat formatAfter;  // what listeners are told
    };
    const Case cases[] = {
        {"Gone Mic", {}, {48000.0, 1}},
        {"Odd Mic", {}, {44100.0, 2}},   // listed, but not in the system table
        {"USB Mic", {7}, {44100.0, 2}},  // by name alone (the command line): the first of that name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        capture_.setDevices({{"USB Mic", "usb-1"}, {"USB Mic", "usb-2"}, {"Odd Mic", "odd"}}, {{7, "usb-1"}, {8, "usb-2"}});
        capture_.setFormat(core::AudioFormat{48000.0, 1});
        start();
        capture_.setFormat(core::AudioFormat{44100.0, 2});
        controller_->deviceChanged(c.title);
        queue_.advance(500ms);
        EXPECT_EQ(store_->stringForKey(key::kSelectedAudioDevice), c.title);
        EXPECT_EQ(capture_.defaultInputChanges(), c.defaultChanges);
        EXPECT_EQ(server_->formats.back(), c.formatAfter);
    }
}

// A sound server that hangs holds up its worker, never the main queue.
TEST_F(ViewControllerTest, AStuckSoundServerNeverHoldsUpTheMainQueue) {
    worker_.emplace();
    capture_.setDevices({{"USB Mic", "usb-mic"}}, {{7, "usb-mic"}});
    start();
    struct Case {
        const char* name;
        std::function<void()> ask;
    };
    const Case cases[] = {
        {"choosing a device", [&] { controller_->deviceChanged("USB Mic"); }},
        {"retrying a lost capture", [&] {
             capture_.loseCapture("the PulseAudio server went away");
             queue_.runUntilIdle();
             queue_.advance(3s);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capture_.stallCalls(5s);
        c.ask();
        bool ran = false;
        queue_.async([&] { ran = true; });
        queue_.runUntilIdle();
        EXPECT_TRUE(ran);
        EXPECT_FALSE(capture_.stallRanOut()) << "the main thread waited for the sound server";
        capture_.releaseStall();
        EXPECT_TRUE(queue_.runUntil([&] {
            queue_.advance(100ms);  // past the restart delay once the worker's answer is in
            return capture_.isRunning();
        }));
    }
}

TEST_F(ViewControllerTest, CleanupStopsEverythingAndDeferredStepsDieWithTheController) {
    store_->setBool(key::kIsStreaming, true);
    start();
    controller_->cleanup();
    EXPECT_FALSE(capture_.isRunning());
    EXPECT_TRUE(server_->stopped);
    notifications_.post(server::kListenerCountChanged, {{"count", std::int64_t{4}}});
    EXPECT_TRUE(view_->listenerCount.first.empty()) << "observers are gone";
    controller_.reset();
    queue_.advance(6s);
    EXPECT_TRUE(view_->statuses.empty());
    EXPECT_TRUE(server_->streamingCalls.empty());
}

// The tap thread may be inside a buffer when the last owner lets go of the controller.
TEST_F(ViewControllerTest, TheControllerIsReleasedOnMainEvenWhileABufferIsInFlight) {
    start();
    controller_->toggleStreaming();
    std::promise<void> sending, released;
    server_->onSend = [&, once = true]() mutable {
        if (!std::exchange(once, false)) return;
        sending.set_value();
        released.get_future().wait();
    };
    std::thread::id destroyedOn;
    view_->onDestroyed = [&] { destroyedOn = std::this_thread::get_id(); };
    std::thread tapThread([&] { deliver(SampleBuffer(0.1f)); });
    sending.get_future().wait();
    view_.reset();
    controller_.reset();
    released.set_value();
    tapThread.join();
    EXPECT_EQ(destroyedOn, std::this_thread::get_id());
}

TEST_F(ViewControllerTest, MidiCommandsDriveStreaming) {
    auto backend = std::make_shared<lumeno::testing::FakeMIDIBackend>();
    std::shared_ptr<midi::MIDIController> midi;
    midiFactory_ = [&] { return midi = midi::MIDIController::create(backend, {queue_, notifications_, log_, *store_}); };
    store_->setBool(key::kMidiEnabled, true);
    start();
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

TEST_F(ViewControllerTest, ListenerAddressCarriesThePortAndTheBoundAddressAndWithoutOneTheQRButtonIsOff) {
    port_ = 9000;
    bindAddress_ = "10.0.0.9";
    start();
    EXPECT_EQ(view_->address, std::make_pair(std::string("Access at: 10.0.0.9:9000/listen"), true));
    EXPECT_EQ(controller_->currentURL(), "http://10.0.0.9:9000/listen");
    interfaces_ = {{"lo", true, "127.0.0.1", true, true}};
    bindAddress_ = "::";  // any address: the interfaces decide
    start();
    EXPECT_EQ(view_->address, std::make_pair(std::string("No network connection found"), false));
    EXPECT_FALSE(controller_->currentURL());
}

TEST_F(ViewControllerTest, QRCodeIsSavedWhereTheOperatorChoseOrTheFailureIsShown) {
    const lumeno::testing::TempDir dir("lumeno-qr");
    start();
    for (const auto& [destination, title] : {std::pair{dir.path() / "code.png", "Success"},
                                             {dir.path() / "missing" / "code.png", "Error"}}) {
        view_->alerts.clear();
        view_->qrDestination = destination;
        controller_->generateQRCode();
        ASSERT_TRUE(queue_.runUntil([&] { return !view_->alerts.empty(); }));
        EXPECT_EQ(view_->alerts.front().messageText, title);
    }
    EXPECT_GT(std::filesystem::file_size(dir.path() / "code.png"), 0u);
}
