#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "audio/capture_source.h"
#include "audio/wav_file.h"

namespace lumeno::audio {

// Plays a WAV recording as if it were a microphone: looped without a gap and paced in real time,
// in the same buffers a sound server would deliver. Its one "device" is the file itself.
// A file on disk that is cut, rewritten or replaced while it plays ends the capture as a lost
// device would; the next start reads whatever the path names then, from its first frame, once
// it is whole again (its format may have changed with it).
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

    // Which file a path names and which version of it: a change of any field is a new file.
    struct FileStamp {
        std::uint64_t device = 0, inode = 0, size = 0;
        std::int64_t modifiedNs = 0;
        bool operator==(const FileStamp&) const = default;
    };

private:
    void run(BufferHandler onBuffer, ErrorHandler onError);
    bool changedOnDisk() const;
    bool fill(std::string& error);
    bool recover(std::string& error);

    std::unique_ptr<WavFile> file_;
    FloatBuffer buffer_;
    std::uint64_t position_ = 0;  // next frame of the file; only the pacing thread touches it while running
    std::optional<FileStamp> stamp_;  // of the file playing, when it is one on disk
    std::atomic<bool> readFailed_{false};  // set by the pacing thread as it ends on a read error

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace lumeno::audio
