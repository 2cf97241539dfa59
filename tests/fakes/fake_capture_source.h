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
    void setFormat(std::optional<core::AudioFormat> format, std::string error = {}) {
        std::lock_guard lock(mutex_);
        format_ = format;
        formatError_ = std::move(error);
    }
    void failNextStarts(std::string error) {  // every start fails until cleared with ""
        std::lock_guard lock(mutex_);
        startError_ = std::move(error);
    }
    // Also starts a fresh record of default input changes.
    void setDevices(std::vector<audio::CaptureDevice> devices, std::vector<SystemDevice> table) {
        std::lock_guard lock(mutex_);
        devices_ = std::move(devices);
        table_ = std::move(table);
        defaultChanges_.clear();
    }
    // Every round trip from now on waits until releaseStall() or until `limit` has passed.
    void stallCalls(std::chrono::milliseconds limit) {
        std::lock_guard lock(mutex_);
        stallLimit_ = limit;
    }
    void releaseStall() {
        {
            std::lock_guard lock(mutex_);
            stallLimit_.reset();
        }
        released_.notify_all();
    }
    bool stallRanOut() const {  // whether a caller sat out a whole stall
        std::lock_guard lock(mutex_);
        return stallRanOut_;
    }

    // The tap thread's side.
    void deliver(const audio::AudioBuffer& buffer) {
        BufferHandler handler;
        {
            std::lock_guard lock(mutex_);
            if (!running_) return;
            handler = onBuffer_;
        }
        handler(buffer);
    }
    void loseCapture(const std::string& why) {
        ErrorHandler handler;
        {
            std::lock_guard lock(mutex_);
            if (!running_.exchange(false)) return;
            handler = onError_;
        }
        handler(why);
    }

    // What happened.
    int startCount() const {
        std::lock_guard lock(mutex_);
        return starts_;
    }
    std::vector<std::uint32_t> defaultInputChanges() const {
        std::lock_guard lock(mutex_);
        return defaultChanges_;
    }

    audio::FormatResult inputFormat() override {
        std::unique_lock lock(mutex_);
        stall(lock);
        return {format_, formatError_};
    }
    std::optional<audio::CaptureError> start(BufferHandler onBuffer, ErrorHandler onError) override {
        std::unique_lock lock(mutex_);
        stall(lock);
        ++starts_;
        if (!startError_.empty()) return audio::CaptureError{startError_};
        onBuffer_ = std::move(onBuffer);
        onError_ = std::move(onError);
        running_ = true;
        return std::nullopt;
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        running_ = false;
        onBuffer_ = nullptr;
        onError_ = nullptr;
    }
    bool isRunning() const override { return running_.load(); }

    std::vector<audio::CaptureDevice> captureDevices() override {
        std::unique_lock lock(mutex_);
        stall(lock);
        return devices_;
    }
    std::optional<std::uint32_t> systemDeviceId(const std::string& uniqueID) override {
        std::unique_lock lock(mutex_);
        stall(lock);
        for (const auto& d : table_)
            if (d.uniqueID == uniqueID) return d.id;
        return std::nullopt;
    }
    bool setDefaultInput(std::uint32_t deviceId) override {
        std::unique_lock lock(mutex_);
        stall(lock);
        defaultChanges_.push_back(deviceId);
        return true;
    }

private:
    void stall(std::unique_lock<std::mutex>& lock) {
        if (stallLimit_ && !released_.wait_for(lock, *stallLimit_, [this] { return !stallLimit_; })) stallRanOut_ = true;
    }

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
