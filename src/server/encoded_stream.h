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
#include <vector>

#include "core/audio_format.h"
#include "core/bytes.h"
#include "core/log.h"
#include "server/shared_encoder.h"

typedef struct SRC_STATE_tag SRC_STATE;

namespace lumeno::server {

// Every compressed stream is mono at this rate: Opus's own, an MP3 rate every browser plays, and
// the usual capture rate, so most venues' audio goes in without resampling.
inline constexpr int kEncodedSampleRate = 48000;

// Folds the capture's 16-bit chunks down to mono floats at 48 kHz for an encoder.
// Thread: its owner's.
class MonoResampler {
public:
    // Null, with `error` set, when the resampler cannot be made.
    static std::unique_ptr<MonoResampler> create(std::string& error);
    ~MonoResampler();
    MonoResampler(const MonoResampler&) = delete;
    MonoResampler& operator=(const MonoResampler&) = delete;

    // Appends the chunk's samples to `out`. A chunk in a format that cannot be streamed (not 1 or
    // 2 channels, an absurd rate) appends nothing.
    void append(const core::Bytes& chunk, core::AudioFormat format, std::vector<float>& out);
    // The input starts over in another format: the filter forgets the old one's history.
    void restart();

private:
    explicit MonoResampler(SRC_STATE* state) : resampler_(state) {}

    SRC_STATE* resampler_;
    double inputRate_ = 0.0;
    std::vector<float> mono_;
    std::vector<float> resampled_;
};

// One codec as the shared stream drives it. Thread: the encoder thread.
class StreamEncoder {
public:
    virtual ~StreamEncoder() = default;
    // What a listener joining at any time needs before the live bytes; null when the codec needs nothing.
    virtual core::SharedBytes headerBytes() const = 0;
    // Appends to `out` what the chunk completes, in whole units a listener can start at.
    virtual void encode(const core::Bytes& chunk, core::AudioFormat format, core::Bytes& out) = 0;
    // The capture changed format: nothing kept of the old input may be carried into the new one.
    virtual void restartInput() = 0;
};

// Encodes a stream once for all its listeners, off the audio thread: the audio thread hands
// chunks over through a bounded ring it never waits on, and one encoder thread turns them into
// bytes for the sink. Each start is a fresh encoder, told apart by its generation so bytes of an
// earlier run still in flight are never mixed into a later one.
// Thread: start and stop on one owner thread (io); push on the audio thread; the sink runs on
// the encoder thread.
class EncodedStream : public SharedEncoder {
public:
    using Sink = std::function<void(std::uint64_t generation, core::SharedBytes bytes)>;
    using FormatSource = std::function<std::optional<core::AudioFormat>()>;

    struct Codec {
        std::string name;              // "Opus": in log lines and the encoder thread's name
        int bitrate = 0;               // bit/s, for the log
        std::string whenUnavailable;   // what its listeners get while it cannot start, for the log
        // A fresh encoder for one run; null, with `error` set, when the codec refuses.
        std::function<std::unique_ptr<StreamEncoder>(std::string& error)> makeEncoder;
    };

    EncodedStream(Codec codec, core::Logger& log, FormatSource format, Sink sink);
    ~EncodedStream() override;
    EncodedStream(const EncodedStream&) = delete;
    EncodedStream& operator=(const EncodedStream&) = delete;

    // Starts an encoder unless one runs. False when it cannot start; the first such failure is
    // logged, later ones are not (every request would otherwise log it again).
    bool start();
    void stop();
    bool running() const { return running_.load(std::memory_order_acquire); }
    std::uint64_t generation() const { return generation_; }
    // The running stream's header bytes; null when stopped or when the codec has none.
    core::SharedBytes headerBytes() const { return running() ? headers_ : nullptr; }

    // Never waits: a chunk that finds the ring full is dropped and counted.
    void push(const core::SharedBytes& chunk);
    std::uint64_t droppedChunks() const { return dropped_.load(std::memory_order_relaxed); }

    void inputFormatChanged() override { inputEpoch_.fetch_add(1, std::memory_order_release); }

private:
    // About 2.7 s of capture blocks at 48 kHz, whatever the block; a power of two, so the
    // wrapping indices stay right.
    static constexpr std::uint32_t kRingSize =
        std::bit_ceil(static_cast<std::uint32_t>(2.7 * 48000 / core::kCaptureBlockFrames));

    void run(std::unique_ptr<StreamEncoder> encoder, std::uint64_t generation);
    void discardQueued();

    Codec codec_;
    core::Logger& log_;
    FormatSource format_;
    Sink sink_;

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
