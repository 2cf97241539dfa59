#include "server/mp3_stream.h"

#include <lame/lame.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace lumeno::server {

namespace {

// MPEG-1 Layer III bitrates in kbit/s by header index; 0 (free format) and 15 are not used.
constexpr int kBitrates[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr int kSampleRates[] = {44100, 48000, 32000};

}  // namespace

int mp3BitrateFor(int requested) {
    if (requested <= 0) return 0;
    int best = kBitrates[1];
    for (int kbits : kBitrates)
        if (kbits > 0 && std::abs(kbits * 1000 - requested) < std::abs(best * 1000 - requested)) best = kbits;
    return best * 1000;
}

std::size_t mp3FrameLength(const std::uint8_t* header) {
    // Sync, MPEG-1, Layer III; the protection bit either way.
    if (header[0] != 0xFF || (header[1] & 0xFE) != 0xFA) return 0;
    const int bitrateIndex = header[2] >> 4;
    const int rateIndex = (header[2] >> 2) & 3;
    if (bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
    const int padding = (header[2] >> 1) & 1;
    return static_cast<std::size_t>(144 * kBitrates[bitrateIndex] * 1000 / kSampleRates[rateIndex] + padding);
}

struct LameMp3Encoder::State {
    lame_global_flags* lame = nullptr;
    std::unique_ptr<MonoResampler> resampler;
    std::vector<float> samples;
    std::vector<unsigned char> encoded;  // frames not yet whole first, then LAME's output

    ~State() {
        if (lame) lame_close(lame);
    }
};

LameMp3Encoder::LameMp3Encoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
LameMp3Encoder::~LameMp3Encoder() = default;

std::unique_ptr<LameMp3Encoder> LameMp3Encoder::create(int bitrate, std::string& error) {
    if (bitrate <= 0 || mp3BitrateFor(bitrate) != bitrate) {
        error = "bitrate " + std::to_string(bitrate) + " is not one an MP3 stream can have";
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->lame = lame_init();
    if (!state->lame) {
        error = "LAME could not be set up";
        return nullptr;
    }
    lame_global_flags* lame = state->lame;
    // Its messages would go to standard error, around our own log.
    lame_set_errorf(lame, nullptr);
    lame_set_debugf(lame, nullptr);
    lame_set_msgf(lame, nullptr);
    // Fed at the stream's own rate, so LAME's resampler (and its delay) never runs.
    lame_set_in_samplerate(lame, kEncodedSampleRate);
    lame_set_out_samplerate(lame, kEncodedSampleRate);
    lame_set_num_channels(lame, 1);
    lame_set_mode(lame, MONO);
    // Constant: a listener's share of the venue's network is a budget, and the backlog rule
    // counts this stream's bytes as time.
    lame_set_VBR(lame, vbr_off);
    lame_set_brate(lame, bitrate / 1000);
    // The reservoir lets a frame borrow room from frames already written, so LAME holds about
    // four frames (96 ms) back until they are final, and a frame cannot be decoded without the
    // ones before it. Without it every frame leaves as soon as it is encoded and stands alone.
    lame_set_disable_reservoir(lame, 1);
    // A stream has no start to come back to: no Xing/Info frame, which would also hold a dummy frame.
    lame_set_bWriteVbrTag(lame, 0);
    // Speed and quality balanced: under half a percent of a core at 48 kbit/s.
    lame_set_quality(lame, 5);
    if (lame_init_params(lame) < 0) {
        error = "LAME refused the settings (bitrate " + std::to_string(bitrate / 1000) + " kbit/s)";
        return nullptr;
    }
    state->resampler = MonoResampler::create(error);
    if (!state->resampler) return nullptr;
    return std::unique_ptr<LameMp3Encoder>(new LameMp3Encoder(std::move(state)));
}

void LameMp3Encoder::restartInput() { state_->resampler->restart(); }

void LameMp3Encoder::encode(const core::Bytes& chunk, core::AudioFormat format, core::Bytes& out) {
    State& s = *state_;
    s.samples.clear();
    s.resampler->append(chunk, format, s.samples);
    if (s.samples.empty()) return;
    const std::size_t held = s.encoded.size();
    // LAME's own bound on what this many samples can produce.
    s.encoded.resize(held + s.samples.size() * 5 / 4 + 7200);
    const int size = lame_encode_buffer_ieee_float(s.lame, s.samples.data(), nullptr, static_cast<int>(s.samples.size()),
                                                   s.encoded.data() + held, static_cast<int>(s.encoded.size() - held));
    s.encoded.resize(held + static_cast<std::size_t>(std::max(size, 0)));
    // Without the reservoir LAME hands out whole frames. Holding back any part of one anyway
    // keeps every send starting on a frame, where a listener joining or skipping ahead begins.
    std::size_t whole = 0;
    std::size_t length = 0;
    while (whole + 4 <= s.encoded.size() && (length = mp3FrameLength(s.encoded.data() + whole)) != 0 &&
           whole + length <= s.encoded.size())
        whole += length;
    out.insert(out.end(), s.encoded.begin(), s.encoded.begin() + static_cast<std::ptrdiff_t>(whole));
    s.encoded.erase(s.encoded.begin(), s.encoded.begin() + static_cast<std::ptrdiff_t>(whole));
    // Bytes that are no frame at all would hold everything after them back for good.
    if (s.encoded.size() >= 4 && mp3FrameLength(s.encoded.data()) == 0) s.encoded.clear();
}

Mp3Stream::Mp3Stream(int bitrate, core::Logger& log, FormatSource format, Sink sink)
    : EncodedStream({.name = "MP3",
                     .bitrate = mp3BitrateFor(bitrate),
                     .whenUnavailable = "/audio.mp3 answers 503",
                     .makeEncoder = [bitrate = mp3BitrateFor(bitrate)](std::string& error)
                         -> std::unique_ptr<StreamEncoder> { return LameMp3Encoder::create(bitrate, error); }},
                    log, std::move(format), std::move(sink)) {}

}  // namespace lumeno::server
