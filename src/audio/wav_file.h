#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_buffer.h"
#include "audio/capture_source.h"

namespace lumeno::audio {

// Random access to the bytes of a WAV: a file on disk, or a recording built into the binary.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads exactly `count` bytes at `offset`; false with `error` set when that is not possible.
    virtual bool readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count, std::string& error) = 0;
};

enum class SampleEncoding { pcm16, float32 };

// A WAV recording of 16-bit integer or 32-bit float samples, mono or stereo, at any rate.
// Only the header is read when opening; samples are read on demand, so a long file costs no
// memory. Thread: one user at a time.
class WavFile {
public:
    struct OpenResult {
        std::unique_ptr<WavFile> file;
        std::string error;  // set when file is null
    };

    static OpenResult open(const std::string& path);
    // A recording built into the binary: the bytes are not copied and must outlive the file.
    static OpenResult fromEmbedded(std::string_view bytes, std::string name);
    // Bytes the file keeps its own copy of.
    static OpenResult fromBytes(std::string bytes, std::string name);
    static OpenResult fromSource(std::unique_ptr<ByteSource> source, std::string name);

    // Reads the header again, for a file that was cut or rewritten while it played; false,
    // with `error` set, when it no longer holds playable audio.
    bool refresh(std::string& error);

    const std::string& name() const { return name_; }
    // Where the file was opened from; empty for a recording in memory.
    const std::string& path() const { return path_; }
    // Its data chunk promises more audio than the file holds: cut short, or still being written.
    bool cutShort() const { return cutShort_; }
    AudioFormat format() const { return format_; }
    SampleEncoding encoding() const { return encoding_; }
    std::uint64_t frameCount() const { return frameCount_; }

    // Converts `count` frames starting at `firstFrame` into `into` at frame `at`, channel by
    // channel. 16-bit samples s become s / 32768.
    bool readFrames(std::uint64_t firstFrame, std::uint32_t count, FloatBuffer& into, std::uint32_t at,
                    std::string& error);

private:
    WavFile() = default;
    bool readHeader(std::string& error);

    std::unique_ptr<ByteSource> source_;
    std::string name_;
    std::string path_;
    bool cutShort_ = false;
    AudioFormat format_;
    SampleEncoding encoding_ = SampleEncoding::pcm16;
    std::uint32_t bytesPerFrame_ = 0;
    std::uint64_t dataOffset_ = 0;
    std::uint64_t frameCount_ = 0;
    std::vector<std::uint8_t> scratch_;
};

}  // namespace lumeno::audio
