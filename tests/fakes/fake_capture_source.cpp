#include "fakes/fake_capture_source.h"

namespace lumeno::testing {

void FakeCaptureSource::setFormat(std::optional<core::AudioFormat> format, std::string error) {
    std::lock_guard lock(mutex_);
    format_ = format;
    formatError_ = std::move(error);
}

void FakeCaptureSource::failNextStarts(std::string error) {
    std::lock_guard lock(mutex_);
    startError_ = std::move(error);
}

void FakeCaptureSource::setDevices(std::vector<audio::CaptureDevice> devices, std::vector<SystemDevice> table) {
    std::lock_guard lock(mutex_);
    devices_ = std::move(devices);
    table_ = std::move(table);
    defaultChanges_.clear();
}

void FakeCaptureSource::stallCalls(std::chrono::milliseconds limit) {
    std::lock_guard lock(mutex_);
    stallLimit_ = limit;
}

void FakeCaptureSource::releaseStall() {
    {
        std::lock_guard lock(mutex_);
        stallLimit_.reset();
    }
    released_.notify_all();
}

bool FakeCaptureSource::stallRanOut() const {
    std::lock_guard lock(mutex_);
    return stallRanOut_;
}

void FakeCaptureSource::stall(std::unique_lock<std::mutex>& lock) {
    if (!stallLimit_) return;
    if (!released_.wait_for(lock, *stallLimit_, [this] { return !stallLimit_; })) stallRanOut_ = true;
}

void FakeCaptureSource::deliver(const audio::AudioBuffer& buffer) {
    BufferHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        handler = onBuffer_;
    }
    handler(buffer);
}

void FakeCaptureSource::loseCapture(const std::string& why) {
    ErrorHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (!running_.exchange(false)) return;
        handler = onError_;
    }
    handler(why);
}

int FakeCaptureSource::startCount() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

std::vector<std::uint32_t> FakeCaptureSource::defaultInputChanges() const {
    std::lock_guard lock(mutex_);
    return defaultChanges_;
}

audio::FormatResult FakeCaptureSource::inputFormat() {
    std::unique_lock lock(mutex_);
    stall(lock);
    return {format_, formatError_};
}

std::optional<audio::CaptureError> FakeCaptureSource::start(BufferHandler onBuffer, ErrorHandler onError) {
    std::unique_lock lock(mutex_);
    stall(lock);
    ++starts_;
    if (!startError_.empty()) return audio::CaptureError{startError_};
    onBuffer_ = std::move(onBuffer);
    onError_ = std::move(onError);
    running_ = true;
    return std::nullopt;
}

void FakeCaptureSource::stop() {
    std::lock_guard lock(mutex_);
    running_ = false;
    onBuffer_ = nullptr;
    onError_ = nullptr;
}

std::vector<audio::CaptureDevice> FakeCaptureSource::captureDevices() {
    std::unique_lock lock(mutex_);
    stall(lock);
    return devices_;
}

std::optional<std::uint32_t> FakeCaptureSource::systemDeviceId(const std::string& uniqueID) {
    std::unique_lock lock(mutex_);
    stall(lock);
    for (const auto& d : table_)
        if (d.uniqueID == uniqueID) return d.id;
    return std::nullopt;
}

bool FakeCaptureSource::setDefaultInput(std::uint32_t deviceId) {
    std::unique_lock lock(mutex_);
    stall(lock);
    defaultChanges_.push_back(deviceId);
    return true;
}

}  // namespace lumeno::testing
