#include "audio/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>

namespace lumeno::audio {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// Rates beyond this are not audio inputs anyone streams; refusing them keeps buffer periods sane.
constexpr std::uint32_t kMaxSampleRate = 768000;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class FileBytes final : public ByteSource {
public:
    explicit FileBytes(int fd) : fd_(fd) {}
    ~FileBytes() override { ::close(fd_); }

    // Asked afresh each time: the file may be cut or rewritten while it plays.
    std::uint64_t size() const override {
        struct stat info {};
        return ::fstat(fd_, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    }
    bool readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count, std::string& error) override {
        while (count > 0) {
            const ssize_t n = ::pread(fd_, out, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = std::strerror(errno);
                return false;
            }
            if (n == 0) {
                error = "the file ended early (was it truncated?)";
                return false;
            }
            out += n;
            offset += static_cast<std::uint64_t>(n);
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd_;
};

class MemoryBytes final : public ByteSource {
public:
    explicit MemoryBytes(std::string_view bytes) : bytes_(bytes) {}
    explicit MemoryBytes(std::string owned) : owned_(std::move(owned)), bytes_(owned_) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count, std::string& error) override {
        if (offset > bytes_.size() || count > bytes_.size() - offset) {
            error = "read past the end of the recording";
            return false;
        }
        std::memcpy(out, bytes_.data() + offset, count);
        return true;
    }

private:
    std::string owned_;
    std::string_view bytes_;
};

}  // namespace

WavFile::OpenResult WavFile::open(const std::string& path) {
    // Looked at before opening and opened without waiting: opening a FIFO or a device for
    // reading can block until a writer appears, with the stop signals already held back.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {nullptr, "cannot open '" + path + "': " + std::strerror(errno)};
    if (!S_ISREG(info.st_mode)) return {nullptr, "'" + path + "' is not a regular file"};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return {nullptr, "cannot open '" + path + "': " + std::strerror(errno)};
    // It may have been swapped for something else between the two looks.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return {nullptr, "'" + path + "' is not a regular file"};
    }
    auto opened = fromSource(std::make_unique<FileBytes>(fd), path);
    if (opened.file) opened.file->path_ = path;
    return opened;
}

WavFile::OpenResult WavFile::fromEmbedded(std::string_view bytes, std::string name) {
    return fromSource(std::make_unique<MemoryBytes>(bytes), std::move(name));
}

WavFile::OpenResult WavFile::fromBytes(std::string bytes, std::string name) {
    return fromSource(std::make_unique<MemoryBytes>(std::move(bytes)), std::move(name));
}

WavFile::OpenResult WavFile::fromSource(std::unique_ptr<ByteSource> source, std::string name) {
    std::unique_ptr<WavFile> file(new WavFile());
    file->source_ = std::move(source);
    file->name_ = std::move(name);
    std::string error;
    if (!file->readHeader(error)) return {nullptr, error};
    return {std::move(file), {}};
}

bool WavFile::refresh(std::string& error) { return readHeader(error); }

bool WavFile::readHeader(std::string& why) {
    ByteSource* source = source_.get();
    const std::string& name = name_;
    auto fail = [&](const std::string& reason) {
        why = "'" + name + "' " + reason;
        return false;
    };
    std::string error;
    std::uint8_t riff[12];
    if (source->size() < sizeof riff || !source->readAt(0, riff, sizeof riff, error) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return fail("is not a WAV file");

    bool haveFormat = false;
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bits = 0;
    std::optional<std::uint64_t> dataOffset;
    std::uint64_t dataSize = 0;
    bool cutShort = false;

    // Chunks in any order; a data chunk whose size is a placeholder (streamed WAVs) ends the walk.
    std::uint64_t offset = sizeof riff;
    const std::uint64_t end = source->size();
    for (int chunks = 0; offset + 8 <= end && chunks < 1024; ++chunks) {
        std::uint8_t head[8];
        if (!source->readAt(offset, head, sizeof head, error)) return fail("cannot be read: " + error);
        const std::uint32_t size = le32(head + 4);
        const std::uint64_t body = offset + 8;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            std::uint8_t fmt[40] = {};
            if (size < 16) return fail("has a damaged format chunk");
            const std::size_t wanted = size >= 40 ? 40 : 16;
            if (body + wanted > end || !source->readAt(body, fmt, wanted, error))
                return fail("has a damaged format chunk");
            formatTag = le16(fmt);
            channels = le16(fmt + 2);
            rate = le32(fmt + 4);
            blockAlign = le16(fmt + 12);
            bits = le16(fmt + 14);
            // The extensible form names the real encoding in the first two bytes of its GUID.
            if (formatTag == kFormatExtensible && wanted == 40) formatTag = le16(fmt + 24);
            haveFormat = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            dataOffset = body;
            dataSize = std::min<std::uint64_t>(size, end - body);
            cutShort = size != 0xFFFFFFFFu && size > end - body;
            if (haveFormat) break;
        }
        offset = body + size + (size & 1u);
    }
    if (!haveFormat) return fail("is not a WAV file (no format chunk)");
    if (!dataOffset) return fail("has no data chunk");

    SampleEncoding encoding;
    if (formatTag == kFormatPcm && bits == 16)
        encoding = SampleEncoding::pcm16;
    else if (formatTag == kFormatFloat && bits == 32)
        encoding = SampleEncoding::float32;
    else
        return fail("uses an unsupported sample format (16-bit integer or 32-bit float are supported)");
    if (channels != 1 && channels != 2) return fail("has " + std::to_string(channels) + " channels (1 or 2 are supported)");
    if (rate == 0 || rate > kMaxSampleRate) return fail("has an unusable sample rate of " + std::to_string(rate));
    if (blockAlign != channels * (bits / 8)) return fail("has a damaged format chunk");
    const std::uint64_t frames = dataSize / blockAlign;
    if (frames == 0) return fail("holds no audio");

    format_ = AudioFormat{static_cast<double>(rate), channels};
    encoding_ = encoding;
    bytesPerFrame_ = blockAlign;
    dataOffset_ = *dataOffset;
    frameCount_ = frames;
    cutShort_ = cutShort;
    return true;
}

bool WavFile::readFrames(std::uint64_t firstFrame, std::uint32_t count, FloatBuffer& into, std::uint32_t at,
                         std::string& error) {
    if (firstFrame + count > frameCount_ || at + count > into.frameCapacity() ||
        into.channelCount() != format_.channelCount) {
        error = "frame range outside the recording";
        return false;
    }
    const std::size_t bytes = static_cast<std::size_t>(count) * bytesPerFrame_;
    if (scratch_.size() < bytes) scratch_.resize(bytes);
    if (!source_->readAt(dataOffset_ + firstFrame * bytesPerFrame_, scratch_.data(), bytes, error)) return false;

    const std::uint32_t channels = format_.channelCount;
    const std::uint8_t* p = scratch_.data();
    for (std::uint32_t i = 0; i < count; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            float sample;
            if (encoding_ == SampleEncoding::pcm16) {
                sample = static_cast<float>(static_cast<std::int16_t>(le16(p))) / 32768.0f;
                p += 2;
            } else {
                sample = std::bit_cast<float>(le32(p));
                p += 4;
            }
            into.channel(c)[at + i] = sample;
        }
    }
    return true;
}

}  // namespace lumeno::audio
