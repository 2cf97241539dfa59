// Decodes Debian's PocketSphinx test recordings (pocketsphinx-testdata) through the live path, as
// fast as it can, and compares with the same decoder on each whole clip at once.
//
// Live path: each clip, with 0.3 s of silence before and 1.0 s after (the voice detection needs
// a pause to end an utterance), is resampled to 48 kHz as a capture would deliver it, handed
// over in capture-block buffers and decoded with the same streaming rules as the service. Its
// hypothesis is the clip's finals joined. Batch: the clip at 16 kHz as one utterance.
//
// WER is the word-level edit distance over all clips against the shipped transcripts. rtf is
// live processing time over the audio time fed (padding included). Final latency is measured
// from the end of speech in the input (the last 10 ms frame within 30 dB of the clip's loudest)
// to the final: the audio that had to arrive after it plus the processing of the buffer that
// gave the final.
//
// With --codec opus the live path also runs on each clip after it went through the listeners'
// Opus stream (the server's encoder, then libopus decoding), as a listener who needs every word
// would hear it; wer_stream_opus is added to the last line.
//
// Last line: asr clips=N words=N wer_stream=% wer_batch=% rtf=x final_latency_ms_p50=ms
#include <opus/opus.h>
#include <samplerate.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/audio_format.h"
#include "platform/sphinx/audio_handoff.h"
#include "platform/sphinx/sphinx_decoder.h"
#include "platform/sphinx/sphinx_models.h"
#include "server/opus_stream.h"
#include "platform/sphinx/sphinx_stream.h"

namespace {

using namespace lumeno;
using Clock = std::chrono::steady_clock;

constexpr double kCaptureRate = 48000.0;
constexpr std::uint32_t kBufferFrames = lumeno::core::kCaptureBlockFrames;
constexpr double kLeadSeconds = 0.3;
constexpr double kTrailSeconds = 1.0;

struct Clip {
    std::string name;
    std::string file;  // relative to the data folder
    std::string reference;
};

const std::vector<Clip> kClips = {
    {"goforward", "goforward.raw", "go forward ten meters"},
    {"tidigits", "tidigits/dhd.2934z.raw", "two nine three four zero"},
    {"cards-001", "cards/001.wav", "ten of clubs"},
    {"cards-002", "cards/002.wav", "four queen of clubs"},
    {"cards-003", "cards/003.wav", "seven of clubs"},
    {"cards-004", "cards/004.wav", "five five"},
    {"cards-005", "cards/005.wav", "eight of spades four of clubs seven of hearts"},
    {"librivox-0870", "librivox/sense_and_sensibility_01_austen_64kb-0870.wav",
     "and mister john dashwood had then leisure to consider how much there might be prudently in his power to do "
     "for them"},
    {"librivox-0880", "librivox/sense_and_sensibility_01_austen_64kb-0880.wav", "he was not an ill disposed young man"},
    {"librivox-0890", "librivox/sense_and_sensibility_01_austen_64kb-0890.wav",
     "unless to be rather cold hearted and rather selfish is to be ill disposed"},
    {"librivox-0920", "librivox/sense_and_sensibility_01_austen_64kb-0920.wav",
     "had he married a more a amiable woman he might have been made still more respectable than he was"},
    {"librivox-0930", "librivox/sense_and_sensibility_01_austen_64kb-0930.wav", "he might even have been made amiable himself"},
};

// 16 kHz mono 16-bit little-endian samples; a .wav's 44-byte header is skipped (the shipped
// files are canonical PCM WAV at that rate).
std::vector<std::int16_t> readClip(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::size_t skip = path.ends_with(".wav") ? 44 : 0;
    std::vector<std::int16_t> samples;
    for (std::size_t i = skip; i + 1 < bytes.size(); i += 2)
        samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                                    (static_cast<std::uint8_t>(bytes[i + 1]) << 8)));
    return samples;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Substitutions + deletions + insertions of the best alignment.
std::size_t editDistance(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
    std::vector<std::size_t> row(hyp.size() + 1);
    for (std::size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= hyp.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[hyp.size()];
}

// Seconds into the clip at which its last loud 10 ms frame ends.
double endOfSpeech(const std::vector<std::int16_t>& clip) {
    constexpr std::size_t kFrame = 160;
    std::vector<double> energy;
    for (std::size_t i = 0; i + kFrame <= clip.size(); i += kFrame) {
        double sum = 0.0;
        for (std::size_t k = 0; k < kFrame; ++k) sum += static_cast<double>(clip[i + k]) * clip[i + k];
        energy.push_back(sum / kFrame);
    }
    const double peak = energy.empty() ? 0.0 : *std::max_element(energy.begin(), energy.end());
    std::size_t last = 0;
    for (std::size_t f = 0; f < energy.size(); ++f)
        if (energy[f] >= peak / 1000.0) last = f + 1;
    return static_cast<double>(last * kFrame) / platform::SphinxDecoder::kSampleRate;
}

std::vector<float> toCaptureRate(const std::vector<std::int16_t>& clip) {
    std::vector<float> in(static_cast<std::size_t>(kLeadSeconds * 16000.0), 0.0f);
    for (auto s : clip) in.push_back(static_cast<float>(s) / 32768.0f);
    in.resize(in.size() + static_cast<std::size_t>(kTrailSeconds * 16000.0), 0.0f);
    const double ratio = kCaptureRate / 16000.0;
    std::vector<float> out(static_cast<std::size_t>(static_cast<double>(in.size()) * ratio) + 64);
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    data.end_of_input = 1;
    src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
    out.resize(static_cast<std::size_t>(data.output_frames_gen));
    return out;
}

// The audio as a listener of the Opus stream gets it: encoded in capture-sized buffers, each
// page's packet decoded, the encoder's look-ahead dropped. Empty if the codec fails.
std::vector<float> throughOpus(const std::vector<float>& audio) {
    std::string error;
    auto encoder = server::OggOpusEncoder::create(server::kDefaultOpusBitrate, 1, error);
    if (!encoder) return {};
    core::Bytes pages;
    std::vector<float> padded = audio;
    padded.resize(padded.size() + server::kOpusFrameSamples, 0.0f);  // the last partial frame too
    for (std::size_t offset = 0; offset < padded.size(); offset += kBufferFrames) {
        const std::size_t n = std::min<std::size_t>(kBufferFrames, padded.size() - offset);
        core::Bytes chunk;
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = static_cast<std::int16_t>(std::clamp(padded[offset + i], -1.0f, 32767.0f / 32768.0f) * 32768.0f);
            chunk.push_back(static_cast<std::uint8_t>(v & 0xFF));
            chunk.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
        }
        encoder->encode(chunk, {kCaptureRate, 1}, pages);
    }
    const core::Bytes& head = *encoder->headerPages();
    const int preSkip = head[28 + 10] | head[28 + 11] << 8;  // OpusHead's pre-skip, after a 28-byte page head
    int status = 0;
    OpusDecoder* decoder = opus_decoder_create(server::kOpusSampleRate, 1, &status);
    if (!decoder) return {};
    std::vector<float> out;
    std::vector<float> frame(5760);
    // One packet per page, each under 255 bytes of lacing: the body follows the segment table.
    for (std::size_t at = 0; at + 27 <= pages.size();) {
        const std::size_t segments = pages[at + 26];
        std::size_t body = 0;
        for (std::size_t k = 0; k < segments; ++k) body += pages[at + 27 + k];
        const unsigned char* packet = pages.data() + at + 27 + segments;
        const int n = opus_decode_float(decoder, packet, static_cast<opus_int32>(body), frame.data(), 5760, 0);
        if (n > 0) out.insert(out.end(), frame.begin(), frame.begin() + n);
        at += 27 + segments + body;
    }
    opus_decoder_destroy(decoder);
    out.erase(out.begin(), out.begin() + std::min<std::ptrdiff_t>(preSkip, static_cast<std::ptrdiff_t>(out.size())));
    return out;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : " ") + p;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dataDir = "/usr/share/pocketsphinx/test/data";
    bool opus = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--data") == 0 && i + 1 < argc) {
            dataDir = argv[++i];
        } else if (std::strcmp(argv[i], "--codec") == 0 && i + 1 < argc && std::strcmp(argv[i + 1], "opus") == 0) {
            opus = true;
            ++i;
        } else {
            std::fprintf(stderr, "usage: bench_asr [--data DIR] [--codec opus]\n");
            return 2;
        }
    }
    const auto model = platform::findModel(platform::modelRoots(std::getenv("LUMENO_MODEL_DIR")), "en-US");
    if (!model) {
        std::fprintf(stderr, "bench_asr: no en-US model (install pocketsphinx-en-us)\n");
        return 1;
    }
    auto loaded = platform::loadPocketSphinx(*model);
    if (!loaded.decoder) {
        std::fprintf(stderr, "bench_asr: %s\n", loaded.error.c_str());
        return 1;
    }
    platform::SphinxDecoder& decoder = *loaded.decoder;

    std::size_t refWords = 0, streamErrors = 0, batchErrors = 0, opusErrors = 0, clips = 0;
    double processing = 0.0, fed = 0.0;
    std::vector<double> latencies;
    platform::AudioHandoff handoff(64);
    platform::AudioHandoff::Block block;

    for (const Clip& clip : kClips) {
        const auto samples = readClip(dataDir + "/" + clip.file);
        if (samples.empty()) {
            std::fprintf(stderr, "bench_asr: cannot read %s/%s (install pocketsphinx-testdata)\n", dataDir.c_str(),
                         clip.file.c_str());
            return 1;
        }
        ++clips;
        const auto ref = words(clip.reference);
        refWords += ref.size();

        // Live path.
        const auto audio = toCaptureRate(samples);
        const double speechEnd = kLeadSeconds + endOfSpeech(samples);
        std::vector<std::string> finals;
        std::optional<double> latency;
        double position = 0.0;  // audio seconds handed over so far
        double callSeconds = 0.0;
        const speech::ResultHandler sink = [&](std::optional<speech::RecognitionResult> r, std::optional<std::string>) {
            if (!r || !r->isFinal) return;
            finals.push_back(r->text);
            if (position >= speechEnd) latency = (position - speechEnd) * 1000.0 + callSeconds * 1000.0;
        };
        {
            platform::SphinxStream stream(decoder, {});
            for (std::size_t offset = 0; offset < audio.size(); offset += kBufferFrames) {
                const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(kBufferFrames, audio.size() - offset));
                const float* channels[] = {audio.data() + offset};
                const auto start = Clock::now();
                handoff.push({channels, 1, n, n, kCaptureRate});
                position += n / kCaptureRate;
                while (handoff.pop(block)) stream.feed(block.samples.data(), block.frames, block.sampleRate, sink);
                callSeconds = std::chrono::duration<double>(Clock::now() - start).count();
                processing += callSeconds;
            }
            stream.finish(sink);
            fed += position;
        }
        if (latency) latencies.push_back(*latency);
        const std::string streamed = joined(finals);
        streamErrors += editDistance(ref, words(streamed));

        if (opus) {
            const auto heard = throughOpus(audio);
            if (heard.empty()) {
                std::fprintf(stderr, "bench_asr: the Opus encoder or decoder failed\n");
                return 1;
            }
            std::vector<std::string> opusFinals;
            const speech::ResultHandler opusSink = [&](std::optional<speech::RecognitionResult> r,
                                                       std::optional<std::string>) {
                if (r && r->isFinal) opusFinals.push_back(r->text);
            };
            platform::SphinxStream stream(decoder, {});
            for (std::size_t offset = 0; offset < heard.size(); offset += kBufferFrames) {
                const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(kBufferFrames, heard.size() - offset));
                const float* channels[] = {heard.data() + offset};
                handoff.push({channels, 1, n, n, kCaptureRate});
                while (handoff.pop(block)) stream.feed(block.samples.data(), block.frames, block.sampleRate, opusSink);
            }
            stream.finish(opusSink);
            opusErrors += editDistance(ref, words(joined(opusFinals)));
            std::printf("%-14s opus: %s\n", clip.name.c_str(), joined(opusFinals).c_str());
        }

        // Batch baseline.
        std::string batch;
        if (decoder.startUtterance() && decoder.process(samples.data(), samples.size()) && decoder.endUtterance())
            batch = platform::tidyHypothesis(decoder.hypothesis());
        batchErrors += editDistance(ref, words(batch));

        std::printf("%-14s ref: %s\n%-14s live: %s\n%-14s batch: %s\n", clip.name.c_str(), clip.reference.c_str(), "",
                    streamed.c_str(), "", batch.c_str());
    }

    std::sort(latencies.begin(), latencies.end());
    const double p50 = latencies.empty() ? -1.0 : latencies[latencies.size() / 2];
    std::printf("asr clips=%zu words=%zu wer_stream=%.1f wer_batch=%.1f rtf=%.3f final_latency_ms_p50=%.0f", clips,
                refWords, 100.0 * static_cast<double>(streamErrors) / static_cast<double>(refWords),
                100.0 * static_cast<double>(batchErrors) / static_cast<double>(refWords), processing / fed, p50);
    if (opus) std::printf(" wer_stream_opus=%.1f", 100.0 * static_cast<double>(opusErrors) / static_cast<double>(refWords));
    std::printf("\n");
    return 0;
}
