#include "audio/file_capture_source.h"

#include <algorithm>
#include <chrono>

namespace lumeno::audio {

FileCaptureSource::FileCaptureSource(std::unique_ptr<WavFile> file, std::uint32_t framesPerBuffer)
    : file_(std::move(file)),
      buffer_(file_->format().channelCount, framesPerBuffer, file_->format().sampleRate) {}

FileCaptureSource::~FileCaptureSource() { stop(); }

FormatResult FileCaptureSource::inputFormat() {
    std::string error;
    if (!recover(error)) return {std::nullopt, error};
    return {file_->format(), {}};
}

bool FileCaptureSource::recover(std::string& error) {
    if (!readFailed_) return true;
    // A file cut while it played may be whole again: read its header anew and start over.
    if (!file_->refresh(error)) return false;
    if (file_->format().channelCount != buffer_.channelCount()) {
        error = "'" + file_->name() + "' changed its channel count while it played";
        return false;
    }
    readFailed_ = false;
    position_ = 0;
    return true;
}

std::optional<CaptureError> FileCaptureSource::start(BufferHandler onBuffer, ErrorHandler onError) {
    if (thread_.joinable()) stop();  // a thread that ended on a read error
    if (std::string error; !recover(error)) return CaptureError{error};
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    running_ = true;
    thread_ = std::thread([this, onBuffer = std::move(onBuffer), onError = std::move(onError)] { run(onBuffer, onError); });
    return std::nullopt;
}

void FileCaptureSource::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    running_ = false;
}

bool FileCaptureSource::fill(std::string& error) {
    const std::uint32_t wanted = buffer_.frameCapacity();
    std::uint32_t filled = 0;
    while (filled < wanted) {
        if (position_ >= file_->frameCount()) position_ = 0;
        const auto run = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(wanted - filled, file_->frameCount() - position_));
        if (!file_->readFrames(position_, run, buffer_, filled, error)) return false;
        filled += run;
        position_ += run;
    }
    buffer_.setFrameLength(filled);
    return true;
}

void FileCaptureSource::run(BufferHandler onBuffer, ErrorHandler onError) {
    using Clock = std::chrono::steady_clock;
    // Deadlines count from the start, so rounding never accumulates into drift.
    const double secondsPerBuffer = buffer_.frameCapacity() / file_->format().sampleRate;
    auto origin = Clock::now();
    std::uint64_t delivered = 0;
    for (;;) {
        const auto due = origin + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(secondsPerBuffer * static_cast<double>(delivered + 1)));
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, due, [this] { return stopping_; })) return;
        }
        std::string error;
        if (!fill(error)) {
            readFailed_ = true;
            running_ = false;
            onError("reading '" + file_->name() + "' failed: " + error);
            return;
        }
        onBuffer(buffer_.view());
        ++delivered;
        // After a stall (a suspended machine) carry on from now instead of delivering a burst.
        if (Clock::now() - due > std::chrono::seconds(1)) {
            origin = Clock::now();
            delivered = 0;
        }
    }
}

std::vector<CaptureDevice> FileCaptureSource::captureDevices() { return {{file_->name(), file_->name()}}; }

std::optional<std::uint32_t> FileCaptureSource::systemDeviceId(const std::string& uniqueID) {
    if (uniqueID == file_->name()) return 0u;
    return std::nullopt;
}

bool FileCaptureSource::setDefaultInput(std::uint32_t deviceId) { return deviceId == 0; }

}  // namespace lumeno::audio
