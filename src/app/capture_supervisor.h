#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/audio_tap.h"
#include "audio/capture_source.h"
#include "core/audio_format.h"
#include "core/log.h"
#include "core/main_queue.h"

namespace lumeno::app {

// Keeps capture running into the audio tap: starts it, notices an outage, retries every 3 s
// until the input is back, and moves capture to another input device. Each call into the sound
// server may wait seconds for one that is stuck, so after startup every such call runs on the
// supervisor's own worker and its result comes back through the main queue: the window never
// waits for the sound server. The worker's jobs hold neither the supervisor nor the controller.
//
// Thread: main; the capture and device calls on the worker.
class CaptureSupervisor : public std::enable_shared_from_this<CaptureSupervisor> {
public:
    // Runs jobs one at a time, in order, off the main thread; inline in tests.
    using Worker = std::function<void(std::function<void()>)>;

    struct Services {
        core::MainQueue& mainQueue;
        core::Logger& log;
        audio::CaptureSource& capture;
        audio::DeviceDirectory& devices;
        Worker worker;
    };
    enum class Failure { start, lost };
    // What the owner shows of it; each runs on main.
    struct Events {
        std::function<void(const core::AudioFormat&)> formatKnown;  // capture starts in this format
        std::function<void()> started;
        std::function<void()> stopped;  // every failed attempt and every loss: no audio flows
        // The first failure of an outage, with its description; the retries that follow are quiet.
        std::function<void(Failure, const std::string&)> failed;
        std::function<void(const audio::CaptureDevice&)> deviceChosen;
    };

    static std::shared_ptr<CaptureSupervisor> create(Services services, std::shared_ptr<AudioTap> tap, Events events);
    CaptureSupervisor(const CaptureSupervisor&) = delete;
    CaptureSupervisor& operator=(const CaptureSupervisor&) = delete;

    // Starts capture unless it runs. The startup sequence uses startMonitoringNow, which waits
    // for the answer on this thread so the startup lines keep their order; nothing else runs
    // yet and the window appears after it.
    void startMonitoring();
    void startMonitoringNow();
    // Finds the device (by identifier when given, else the first of that title), stops capture,
    // makes it the system's default input and restarts capture 0.5 s later.
    void switchDevice(const std::string& title, const std::optional<std::string>& uniqueID);
    // At termination: no more starts or retries; capture stops on the worker.
    void stop();

    // Whether capture is out and being retried: the status keeps saying so until it is back.
    bool captureOut() const { return captureOut_; }

private:
    struct Shared;
    struct StartOutcome;
    struct SwitchOutcome;

    CaptureSupervisor(Services services, std::shared_ptr<AudioTap> tap, Events events);

    template <typename Outcome>
    void roundTrip(std::function<Outcome(Shared&)> job, void (CaptureSupervisor::*then)(const Outcome&), bool here);
    static StartOutcome startCapture(Shared& shared, const std::weak_ptr<CaptureSupervisor>& supervisor);
    void monitoringStarted(const StartOutcome& outcome);
    void deviceSwitched(const SwitchOutcome& outcome);
    void startFailed(const std::string& error);
    void captureLost(std::uint64_t generation, const std::string& why);
    void outage();

    Worker worker_;
    std::shared_ptr<Shared> shared_;
    Events events_;
    // Set while capture is out and retried by itself: one line and one alert per outage.
    bool captureOut_ = false;
    core::TimerHandle retry_;
};

}  // namespace lumeno::app
