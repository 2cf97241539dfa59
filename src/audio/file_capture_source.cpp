#include "audio/file_capture_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

namespace lumeno::audio {

namespace {

// How often a file on disk is looked at while it plays, in seconds of its audio.
constexpr double kWatchPeriodSeconds = 0.25;

std::optional<FileCaptureSource::FileStamp> stampOf(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileCaptureSource::FileStamp{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                                        static_cast<std::uint64_t>(info.st_size),
                                        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

}  // namespace

FileCaptureSource::FileCaptureSource(std::unique_ptr<WavFile> file, std::uint32_t framesPerBuffer)
    : file_(std::move(file)),
      buffer_(file_->format().channelCount, framesPerBuffer, file_->format().sampleRate),
      stamp_(stampOf(file_->path())) {}

FileCaptureSource::~FileCaptureSource() { stop(); }

FormatResult FileCaptureSource::inputFormat() {
    std::string error;
    if (!recover(error)) return {std::nullopt, error};
    return {file_->format(), {}};
}

bool FileCaptureSource::recover(std::string& error) {
    if (!readFailed_) return true;
    if (thread_.joinable()) thread_.join();  // it ended with the failure, or is about to
    if (const std::string path = file_->path(); !path.empty()) {
        // Whatever the path names now, read afresh: it may be another file altogether. Stamped
        // before opening, so a change in between shows at the first look rather than never.
        auto stamp = stampOf(path);
        auto opened = WavFile::open(path);
        if (!opened.file) {
            error = opened.error;
            return false;
        }
        // Looping what is left of a cut file would play a fragment over and over: wait for it whole.
        if (opened.file->cutShort()) {
            error = "'" + path + "' is cut short";
            return false;
        }
        file_ = std::move(opened.file);
        stamp_ = stamp;
    } else if (!file_->refresh(error)) {
        return false;
    }
    const AudioFormat format = file_->format();
    if (format.channelCount != buffer_.channelCount() || format.sampleRate != buffer_.sampleRate())
        buffer_ = FloatBuffer(format.channelCount, buffer_.frameCapacity(), format.sampleRate);
    readFailed_ = false;
    position_ = 0;
    return true;
}

bool FileCaptureSource::changedOnDisk() const {
    if (!stamp_) return false;
    // A path that names nothing for now (deleted, about to be replaced) keeps the open file playing.
    const auto now = stampOf(file_->path());
    return now && *now != *stamp_;
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
    const auto watchEvery = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(kWatchPeriodSeconds / secondsPerBuffer));
    auto origin = Clock::now();
    std::uint64_t delivered = 0, sinceWatch = 0;
    for (;;) {
        const auto due = origin + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(secondsPerBuffer * static_cast<double>(delivered + 1)));
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, due, [this] { return stopping_; })) return;
        }
        std::string error;
        if (!fill(error)) {
            error = "reading '" + file_->name() + "' failed: " + error;
        } else if (++sinceWatch >= watchEvery) {
            sinceWatch = 0;
            if (changedOnDisk()) error = "'" + file_->name() + "' changed while it played";
        }
        if (!error.empty()) {
            // The message is made first: once readFailed_ is set, a restart may replace file_.
            readFailed_ = true;
            running_ = false;
            onError(error);
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
