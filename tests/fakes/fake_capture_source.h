#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/capture_source.h"

namespace lumeno::testing {

// A capture source and device directory under the test's control: deliver() hands a buffer to
// the installed handler on the calling thread, as the tap thread would; a start can be made to
// fail, a running capture can be made to report a loss, and the calls that would ask a sound
// server can be made to hang like a stuck one. Thread: any.
class FakeCaptureSource final : public audio::CaptureSource, public audio::DeviceDirectory {
public:
    struct SystemDevice {
        std::uint32_t id;
        std::string uniqueID;
    };

    // Configuration.
    void setFormat(std::optional<core::AudioFormat> format, std::string error = {});
    void failNextStarts(std::string error);  // every start fails until cleared with ""
    // Also starts a fresh record of default input changes.
    void setDevices(std::vector<audio::CaptureDevice> devices, std::vector<SystemDevice> table);
    // Every round trip from now on waits until releaseStall() or until `limit` has passed.
    void stallCalls(std::chrono::milliseconds limit);
    void releaseStall();
    bool stallRanOut() const;  // whether a caller sat out a whole stall

    // The tap thread's side.
    void deliver(const audio::AudioBuffer& buffer);
    void loseCapture(const std::string& why);

    // What happened.
    int startCount() const;
    std::vector<std::uint32_t> defaultInputChanges() const;

    audio::FormatResult inputFormat() override;
    std::optional<audio::CaptureError> start(BufferHandler onBuffer, ErrorHandler onError) override;
    void stop() override;
    bool isRunning() const override { return running_.load(); }

    std::vector<audio::CaptureDevice> captureDevices() override;
    std::optional<std::uint32_t> systemDeviceId(const std::string& uniqueID) override;
    bool setDefaultInput(std::uint32_t deviceId) override;

private:
    void stall(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::optional<std::chrono::milliseconds> stallLimit_;
    bool stallRanOut_ = false;
    std::optional<core::AudioFormat> format_ = core::AudioFormat{48000.0, 1};
    std::string formatError_;
    std::string startError_;
    BufferHandler onBuffer_;
    ErrorHandler onError_;
    std::atomic<bool> running_{false};
    int starts_ = 0;
    std::vector<audio::CaptureDevice> devices_;
    std::vector<SystemDevice> table_;
    std::vector<std::uint32_t> defaultChanges_;
};

}  // namespace lumeno::testing
