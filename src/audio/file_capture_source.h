#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "audio/capture_source.h"
#include "audio/wav_file.h"

namespace lumeno::audio {

// Plays a WAV recording as if it were a microphone: looped without a gap and paced in real time,
// in the same buffers a sound server would deliver. Its one "device" is the file itself.
// Thread: control on main; buffers on the source's own pacing thread.
class FileCaptureSource final : public CaptureSource, public DeviceDirectory {
public:
    static constexpr std::uint32_t kFramesPerBuffer = kCaptureBlockFrames;

    explicit FileCaptureSource(std::unique_ptr<WavFile> file, std::uint32_t framesPerBuffer = kFramesPerBuffer);
    ~FileCaptureSource() override;

    FormatResult inputFormat() override;
    std::optional<CaptureError> start(BufferHandler onBuffer, ErrorHandler onError) override;
    void stop() override;
    bool isRunning() const override { return running_.load(); }

    std::vector<CaptureDevice> captureDevices() override;
    std::optional<std::uint32_t> systemDeviceId(const std::string& uniqueID) override;
    bool setDefaultInput(std::uint32_t deviceId) override;

private:
    void run(BufferHandler onBuffer, ErrorHandler onError);
    bool fill(std::string& error);
    bool recover(std::string& error);

    std::unique_ptr<WavFile> file_;
    FloatBuffer buffer_;
    std::uint64_t position_ = 0;  // next frame of the file; only the pacing thread touches it while running
    std::atomic<bool> readFailed_{false};  // set by the pacing thread as it ends on a read error

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace lumeno::audio
