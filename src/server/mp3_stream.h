#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/encoded_stream.h"

namespace lumeno::server {

// MPEG-1 Layer III, mono, 48 kHz: a frame of 1152 samples is 24 ms. 48 kHz rather than a lower
// MPEG-2 rate because the encoder's look-ahead is a fixed count of samples, so the highest rate
// is the shortest delay.
inline constexpr int kMp3FrameSamples = 1152;
inline constexpr int kDefaultMp3Bitrate = 48000;

// The nearest bitrate an MPEG-1 Layer III stream can have (32 to 320 kbit/s), in bit/s: the
// stream's exact rate on the air, as the encoder runs at a constant rate.
int mp3BitrateFor(int requested);

// The byte length of the MPEG-1 Layer III frame whose 4-byte header starts at `header`, or 0
// when those bytes are no such header.
std::size_t mp3FrameLength(const std::uint8_t* header);

// Turns the capture's 16-bit chunks into MP3 frames at a constant bitrate. Every frame stands on
// its own (no bit reservoir), so a listener may start at any frame and a dropped send costs only
// its own frames; the output of one call is always whole frames. Thread: its owner's.
class LameMp3Encoder : public StreamEncoder {
public:
    // Null, with `error` set, when LAME refuses the settings or the resampler cannot be made.
    static std::unique_ptr<LameMp3Encoder> create(int bitrate, std::string& error);
    ~LameMp3Encoder() override;
    LameMp3Encoder(const LameMp3Encoder&) = delete;
    LameMp3Encoder& operator=(const LameMp3Encoder&) = delete;

    // An MP3 stream has no header: each frame carries its own.
    core::SharedBytes headerBytes() const override { return nullptr; }
    void encode(const core::Bytes& chunk, core::AudioFormat format, core::Bytes& out) override;
    void restartInput() override;

private:
    struct State;
    explicit LameMp3Encoder(std::unique_ptr<State> state);

    std::unique_ptr<State> state_;
};

// The MP3 stream every MP3 listener shares.
class Mp3Stream : public EncodedStream {
public:
    Mp3Stream(int bitrate, core::Logger& log, FormatSource format, Sink sink);
};

}  // namespace lumeno::server
