#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/encoded_stream.h"

namespace lumeno::server {

// The compressed stream's fixed shape: what every browser and opusdec read without options.
inline constexpr int kOpusSampleRate = kEncodedSampleRate;
inline constexpr int kOpusFrameSamples = 960;  // 20 ms
// The stream's bitrate on the air, Ogg framing included: with one 20 ms packet per page the page
// heads alone take 11.2 kbit/s, so the encoder gets what is left (never under 6 kbit/s).
inline constexpr int kDefaultOpusBitrate = 32000;
inline constexpr int kOggPageHeadBitsPerSecond = 28 * 8 * (kOpusSampleRate / kOpusFrameSamples);
inline constexpr int encoderBitrateFor(int streamBitrate) {
    return streamBitrate - kOggPageHeadBitsPerSecond > 6000 ? streamBitrate - kOggPageHeadBitsPerSecond : 6000;
}
// What the stream really takes on the air: more than asked for below the encoder's floor.
inline constexpr int onAirBitrateFor(int streamBitrate) {
    return encoderBitrateFor(streamBitrate) + kOggPageHeadBitsPerSecond;
}

// Turns the capture's 16-bit chunks into Ogg Opus pages: mono, 48 kHz, one 20 ms packet per
// page, each page emitted as soon as its packet is encoded so the container adds no delay.
// Thread: whichever one owns it (the encoder thread in the server).
class OggOpusEncoder : public StreamEncoder {
public:
    // Null, with `error` set, when libopus refuses the settings or the resampler cannot be made.
    static std::unique_ptr<OggOpusEncoder> create(int bitrate, std::uint32_t serial, std::string& error);
    ~OggOpusEncoder() override;
    OggOpusEncoder(const OggOpusEncoder&) = delete;
    OggOpusEncoder& operator=(const OggOpusEncoder&) = delete;

    // OpusHead and OpusTags, each on a page of its own: what a listener joining at any time needs first.
    const core::SharedBytes& headerPages() const { return headers_; }
    core::SharedBytes headerBytes() const override { return headers_; }

    // Appends to `out` the pages of every frame the chunk completes.
    void encode(const core::Bytes& chunk, core::AudioFormat format, core::Bytes& out) override;
    void restartInput() override;

private:
    struct State;
    explicit OggOpusEncoder(std::unique_ptr<State> state);
    void appendPage(core::Bytes& out, const unsigned char* packet, long size, bool header);

    std::unique_ptr<State> state_;
    core::SharedBytes headers_;
};

// The Ogg Opus stream every Opus listener shares. Each start is a fresh Ogg stream (new serial
// and headers).
class OpusStream : public EncodedStream {
public:
    OpusStream(int bitrate, core::Logger& log, FormatSource format, Sink sink);
    // The running stream's header pages; null when stopped.
    core::SharedBytes headerPages() const { return headerBytes(); }
};

}  // namespace lumeno::server
