#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/audio_format.h"
#include "core/bytes.h"
#include "core/log.h"
#include "server/shared_encoder.h"

namespace lumeno::server {

// The compressed stream's fixed shape: what every browser and opusdec read without options.
inline constexpr int kOpusSampleRate = 48000;
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
class OggOpusEncoder {
public:
    // Null, with `error` set, when libopus refuses the settings or the resampler cannot be made.
    static std::unique_ptr<OggOpusEncoder> create(int bitrate, std::uint32_t serial, std::string& error);
    ~OggOpusEncoder();
    OggOpusEncoder(const OggOpusEncoder&) = delete;
    OggOpusEncoder& operator=(const OggOpusEncoder&) = delete;

    // OpusHead and OpusTags, each on a page of its own: what a listener joining at any time needs first.
    const core::SharedBytes& headerPages() const { return headers_; }

    // Appends to `out` the pages of every frame the chunk completes; a chunk in a format that
    // cannot be streamed (not 1 or 2 channels, an absurd rate) is skipped.
    void encode(const core::Bytes& chunk, core::AudioFormat format, core::Bytes& out);
    // The input starts over in another format: the resampler forgets the old one's history.
    void restartInput();

private:
    struct State;
    explicit OggOpusEncoder(std::unique_ptr<State> state);
    void appendPage(core::Bytes& out, const unsigned char* packet, long size, bool header);
    bool resample(double rate);

    std::unique_ptr<State> state_;
    core::SharedBytes headers_;
};

// Encodes the stream once for every Opus listener, off the audio thread: the audio thread hands
// chunks over through a bounded ring it never waits on, and one encoder thread turns them into
// pages for the sink. Each start is a fresh Ogg stream (new serial and headers), told apart by
// its generation so pages of an earlier run still in flight are never mixed into a later one.
// Thread: start and stop on one owner thread (io); push on the audio thread; the sink runs on
// the encoder thread.
class OpusStream final : public SharedEncoder {
public:
    using PageSink = std::function<void(std::uint64_t generation, core::SharedBytes pages)>;
    using FormatSource = std::function<std::optional<core::AudioFormat>()>;

    OpusStream(int bitrate, core::Logger& log, FormatSource format, PageSink sink);
    ~OpusStream() override;
    OpusStream(const OpusStream&) = delete;
    OpusStream& operator=(const OpusStream&) = delete;

    // Starts an encoder unless one runs. False when it cannot start; the first such failure is
    // logged, later ones are not (every Opus request would otherwise log it again).
    bool start();
    void stop();
    bool running() const { return running_.load(std::memory_order_acquire); }
    std::uint64_t generation() const { return generation_; }
    // The running stream's header pages; null when stopped.
    core::SharedBytes headerPages() const;

    // Never waits: a chunk that finds the ring full is dropped and counted.
    void push(const core::SharedBytes& chunk);
    std::uint64_t droppedChunks() const { return dropped_.load(std::memory_order_relaxed); }

    void inputFormatChanged() override { inputEpoch_.fetch_add(1, std::memory_order_release); }

private:
    // About 2.7 s of capture blocks at 48 kHz, whatever the block; a power of two, so the
    // wrapping indices stay right.
    static constexpr std::uint32_t kRingSize =
        std::bit_ceil(static_cast<std::uint32_t>(2.7 * 48000 / core::kCaptureBlockFrames));

    void run(std::unique_ptr<OggOpusEncoder> encoder, std::uint64_t generation);
    void discardQueued();

    int bitrate_;
    core::Logger& log_;
    FormatSource format_;
    PageSink sink_;

    // Single producer (audio thread), single consumer (encoder thread, or the owner between runs).
    std::array<core::SharedBytes, kRingSize> ring_;
    std::atomic<std::uint32_t> writeIndex_{0};
    std::atomic<std::uint32_t> readIndex_{0};
    std::atomic<std::uint32_t> wake_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint32_t> inputEpoch_{0};  // counts format changes of the input

    std::thread thread_;
    std::uint64_t generation_ = 0;
    core::SharedBytes headers_;
    bool failureLogged_ = false;
};

}  // namespace lumeno::server
