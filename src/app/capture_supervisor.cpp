#include "app/capture_supervisor.h"

#include <atomic>
#include <chrono>
#include <utility>

namespace lumeno::app {

using namespace std::chrono_literals;

namespace {

constexpr auto kDeviceRestartDelay = 500ms;
// An unplugged microphone or a restarted sound server comes back without the operator.
constexpr auto kCaptureRetryDelay = 3000ms;

std::string describeFormat(const core::AudioFormat& format) {
    return core::formatDecimal(format.sampleRate) + "Hz, " + std::to_string(format.channelCount) + " channels";
}

}  // namespace

// What the worker's jobs use. Held by the jobs instead of the supervisor, so the supervisor is
// only ever released on main; the references outlive the worker.
struct CaptureSupervisor::Shared {
    audio::CaptureSource& capture;
    audio::DeviceDirectory& devices;
    core::Logger& log;
    core::MainQueue& mainQueue;
    std::shared_ptr<AudioTap> tap;
    std::atomic<std::uint64_t> generation{0};  // of the capture started last; tells old loss reports apart
    std::atomic<bool> stopped{false};          // after stop() queued jobs do nothing
};

struct CaptureSupervisor::StartOutcome {
    bool alreadyRunning = false;
    std::optional<core::AudioFormat> format;
    std::optional<std::string> error;
};

struct CaptureSupervisor::SwitchOutcome {
    std::string title;
    std::optional<audio::CaptureDevice> device;
    std::optional<std::uint32_t> systemId;
    bool defaultSet = false;
};

std::shared_ptr<CaptureSupervisor> CaptureSupervisor::create(Services services, std::shared_ptr<AudioTap> tap,
                                                             Events events) {
    return std::shared_ptr<CaptureSupervisor>(new CaptureSupervisor(std::move(services), std::move(tap), std::move(events)));
}

CaptureSupervisor::CaptureSupervisor(Services services, std::shared_ptr<AudioTap> tap, Events events)
    : worker_(std::move(services.worker)),
      shared_(new Shared{services.capture, services.devices, services.log, services.mainQueue, std::move(tap)}),
      events_(std::move(events)) {
    if (!worker_) worker_ = [](std::function<void()> job) { job(); };
}

template <typename Outcome>
void CaptureSupervisor::roundTrip(std::function<Outcome(Shared&)> job, void (CaptureSupervisor::*then)(const Outcome&),
                                  bool here) {
    if (here) return (this->*then)(job(*shared_));
    worker_([shared = shared_, weak = weak_from_this(), job = std::move(job), then] {
        if (shared->stopped) return;
        shared->mainQueue.async([weak, then, outcome = job(*shared)] {
            if (auto self = weak.lock(); self && !self->shared_->stopped) (self.get()->*then)(outcome);
        });
    });
}

void CaptureSupervisor::startMonitoring() {
    roundTrip<StartOutcome>([weak = weak_from_this()](Shared& s) { return startCapture(s, weak); },
                            &CaptureSupervisor::monitoringStarted, false);
}

void CaptureSupervisor::startMonitoringNow() {
    roundTrip<StartOutcome>([weak = weak_from_this()](Shared& s) { return startCapture(s, weak); },
                            &CaptureSupervisor::monitoringStarted, true);
}

// On the worker. Logs as it goes, so the lines keep the order of the steps.
CaptureSupervisor::StartOutcome CaptureSupervisor::startCapture(Shared& s, const std::weak_ptr<CaptureSupervisor>& supervisor) {
    if (s.capture.isRunning()) {
        s.log.line("Audio engine already running");
        return {.alreadyRunning = true};
    }
    s.capture.stop();  // clears what a failed or lost capture left behind

    const auto result = s.capture.inputFormat();
    if (!result.format) return {.error = result.error};
    const core::AudioFormat format = *result.format;
    s.log.print("🎵 Audio format: ", describeFormat(format));
    // Before the first buffer, so listeners never get audio in a format they were not told.
    if (s.tap->announceFormat(format))
        s.log.print("✅ Server audio format updated to ", core::formatDecimal(format.sampleRate), "Hz");

    const std::uint64_t generation = ++s.generation;
    auto error = s.capture.start(s.tap->handler(), [supervisor, generation, &queue = s.mainQueue](const std::string& why) {
        queue.async([supervisor, generation, why] {
            if (auto self = supervisor.lock()) self->captureLost(generation, why);
        });
    });
    if (error) return {.format = format, .error = error->description};
    s.log.line("✅ Audio monitoring started successfully");
    return {.format = format};
}

void CaptureSupervisor::monitoringStarted(const StartOutcome& outcome) {
    if (outcome.alreadyRunning) return;
    if (outcome.format && events_.formatKnown) events_.formatKnown(*outcome.format);
    if (outcome.error) return startFailed(*outcome.error);
    captureOut_ = false;
    retry_.cancel();
    if (events_.started) events_.started();
}

void CaptureSupervisor::outage() {
    if (events_.stopped) events_.stopped();
    retry_.cancel();
    retry_ = shared_->mainQueue.asyncAfter(kCaptureRetryDelay,
                                           core::weakly(shared_from_this(), [](CaptureSupervisor& s) { s.startMonitoring(); }));
}

void CaptureSupervisor::startFailed(const std::string& error) {
    outage();
    if (std::exchange(captureOut_, true)) return;
    shared_->log.print("❌ Failed to start audio monitoring: ", error);
    if (events_.failed) events_.failed(Failure::start, error);
}

void CaptureSupervisor::captureLost(std::uint64_t generation, const std::string& why) {
    if (shared_->stopped || generation != shared_->generation) return;  // about a capture already replaced
    worker_([shared = shared_, generation] {
        if (shared->generation == generation) shared->capture.stop();
    });
    outage();
    if (std::exchange(captureOut_, true)) return;
    shared_->log.print("❌ Audio capture lost: ", why);
    if (events_.failed) events_.failed(Failure::lost, why);
}

void CaptureSupervisor::switchDevice(const std::string& title, const std::optional<std::string>& uniqueID) {
    roundTrip<SwitchOutcome>(
        [title, uniqueID](Shared& s) {
            SwitchOutcome outcome{title, {}, {}, false};
            // The identifier decides between devices of the same name; a title alone takes the first.
            const auto devices = s.devices.captureDevices();
            for (int pass = uniqueID ? 0 : 1; pass < 2 && !outcome.device; ++pass) {
                for (const auto& candidate : devices) {
                    if (pass == 0 ? candidate.uniqueID == *uniqueID : candidate.displayName == title) {
                        outcome.device = candidate;
                        break;
                    }
                }
            }
            if (!outcome.device) return outcome;
            if (s.capture.isRunning()) s.capture.stop();
            outcome.systemId = s.devices.systemDeviceId(outcome.device->uniqueID);
            if (outcome.systemId) outcome.defaultSet = s.devices.setDefaultInput(*outcome.systemId);
            return outcome;
        },
        &CaptureSupervisor::deviceSwitched, false);
}

void CaptureSupervisor::deviceSwitched(const SwitchOutcome& outcome) {
    core::Logger& log = shared_->log;
    if (!outcome.device) {
        log.print("Could not find device: ", outcome.title);
        return;
    }
    log.print("Selected device UID: ", outcome.device->uniqueID);
    if (events_.deviceChosen) events_.deviceChosen(*outcome.device);
    captureOut_ = false;  // the operator acted: a failure is news again
    if (outcome.systemId) {
        if (outcome.defaultSet)
            log.print("Set default input device to ID: ", *outcome.systemId);
        else
            log.print("❌ Could not set default input device to ID: ", *outcome.systemId);
    }
    shared_->mainQueue.asyncAfter(kDeviceRestartDelay,
                                  core::weakly(shared_from_this(), [](CaptureSupervisor& s) { s.startMonitoring(); }));
}

void CaptureSupervisor::stop() {
    retry_.cancel();
    shared_->stopped = true;
    worker_([shared = shared_] {
        if (shared->capture.isRunning()) shared->capture.stop();
    });
}

}  // namespace lumeno::app
