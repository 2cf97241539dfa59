// Decodes speech through the live path, as fast as it can, with the general and the church
// language model, and reports accuracy and speed for each.
//
// Sets:
// - testdata: Debian's PocketSphinx test recordings (pocketsphinx-testdata), each clip with 0.3 s
//   of silence before and 1.0 s after, also decoded whole at once (the batch baseline).
// - sermon, lecture: our own sentences (bench/asr-sets/), spoken by festival's HTS voice and
//   three of flite's voices in turn, joined with 0.8 s pauses over a faint noise floor, so the
//   decoder cuts the stream into utterances itself as it does in a service. The recordings are
//   made on the first run and kept in the build tree.
//
// Live path: the audio at 48 kHz as a capture delivers it, handed over in capture-block buffers
// and decoded with the service's streaming rules; the hypothesis is the finals joined. The
// operator's vocabulary (bench/asr-sets/vocabulary.txt) is in force unless --no-vocabulary.
//
// WER is the word-level edit distance against the reference. names: the operator's names
// (the last word of each vocabulary entry) found, counted per occurrence; bible: the same for
// bench/asr-sets/bible_names.txt; refs: references written exactly as expected ("1 Corinthians
// 13:4") after the reference formatter ran on the hypothesis. rtf is the decoding thread's CPU
// time over audio time (wall time would count whatever else the machine runs). Final latency
// (testdata) is from the end of speech in the input to the final.
//
// With --codec opus the testdata clips also go through the listeners' Opus stream (the server's
// encoder, then libopus decoding), as a listener who needs every word would hear them.
//
// One line per model and set: asr model=M set=S words=N wer=% names=% bible=% refs=% rtf=x ...
#include <opus/opus.h>
#include <time.h>
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

#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "audio/wav_file.h"
#include "core/audio_format.h"
#include "platform/sphinx/audio_handoff.h"
#include "platform/sphinx/letter_to_sound.h"
#include "platform/sphinx/sphinx_decoder.h"
#include "platform/sphinx/sphinx_models.h"
#include "platform/sphinx/sphinx_recognizer.h"
#include "platform/sphinx/sphinx_stream.h"
#include "server/opus_stream.h"
#include "speech/scripture_formatter.h"
#include "speech/vocabulary.h"

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

// The errors of the best alignment charged to reference words: a substitution or deletion to
// its word, an insertion to the reference word before it (the first word for a leading one).
std::vector<std::size_t> errorsPerWord(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
    const std::size_t n = ref.size(), m = hyp.size();
    std::vector<std::size_t> cost((n + 1) * (m + 1));
    const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return cost[i * (m + 1) + j]; };
    for (std::size_t i = 0; i <= n; ++i) at(i, 0) = i;
    for (std::size_t j = 0; j <= m; ++j) at(0, j) = j;
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j)
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
    std::vector<std::size_t> charged(n, 0);
    if (n == 0) return charged;
    for (std::size_t i = n, j = m; i > 0 || j > 0;) {
        if (i > 0 && j > 0 && at(i, j) == at(i - 1, j - 1) + (ref[i - 1] == hyp[j - 1] ? 0 : 1)) {
            charged[i - 1] += ref[i - 1] == hyp[j - 1] ? 0 : 1;
            --i, --j;
        } else if (i > 0 && at(i, j) == at(i - 1, j) + 1) {
            charged[i - 1] += 1;
            --i;
        } else {
            charged[i > 0 ? i - 1 : 0] += 1;
            --j;
        }
    }
    return charged;
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

// --- Long-form sets -----------------------------------------------------------------------------

struct Sentence {
    std::string spoken;
    std::vector<std::string> references;  // written forms expected after the formatter
};

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        out.push_back(line);
    }
    return out;
}

std::vector<Sentence> readSentences(const std::filesystem::path& file) {
    std::vector<Sentence> out;
    for (const std::string& line : lines(file)) {
        Sentence sentence;
        std::string text = line;
        for (std::size_t open; (open = text.find('[')) != std::string::npos;) {
            const std::size_t close = text.find(']', open);
            if (close == std::string::npos) break;
            sentence.references.push_back(text.substr(open + 1, close - open - 1));
            text.erase(open, close - open + 1);
        }
        sentence.spoken = joined(words(text));
        out.push_back(sentence);
    }
    return out;
}

// The voices the sentences are spoken in, in turn: festival's HTS voice is the most natural of
// Debian's; flite's differ from it and from each other.
struct Voice {
    const char* name;
    std::function<std::string(const std::string& text, const std::string& wav)> command;
};
const std::vector<Voice>& voices() {
    static const std::vector<Voice> list = {
        {"hts", [](const std::string& text, const std::string& wav) {
             return "text2wave -eval '(voice_cmu_us_slt_arctic_hts)' '" + text + "' -o '" + wav + "'";
         }},
        {"slt", [](const std::string& text, const std::string& wav) { return "flite -voice slt -f '" + text + "' -o '" + wav + "'"; }},
        {"rms", [](const std::string& text, const std::string& wav) { return "flite -voice rms -f '" + text + "' -o '" + wav + "'"; }},
        {"awb", [](const std::string& text, const std::string& wav) { return "flite -voice awb -f '" + text + "' -o '" + wav + "'"; }},
    };
    return list;
}

// Mono samples at 16 kHz of a WAV file at any rate; empty when it cannot be read.
std::vector<float> readWav16k(const std::string& path) {
    auto opened = audio::WavFile::open(path);
    if (!opened.file) return {};
    audio::WavFile& wav = *opened.file;
    const auto frames = static_cast<std::uint32_t>(wav.frameCount());
    audio::FloatBuffer buffer(wav.format().channelCount, std::max<std::uint32_t>(frames, 1), wav.format().sampleRate);
    std::string error;
    if (frames == 0 || !wav.readFrames(0, frames, buffer, 0, error)) return {};
    std::vector<float> in(buffer.channel(0), buffer.channel(0) + frames);
    const double ratio = 16000.0 / wav.format().sampleRate;
    if (ratio == 1.0) return in;
    std::vector<float> out(static_cast<std::size_t>(static_cast<double>(in.size()) * ratio) + 64);
    SRC_DATA data{in.data(), out.data(), static_cast<long>(in.size()), static_cast<long>(out.size()), 0, 0, 1, ratio};
    src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
    out.resize(static_cast<std::size_t>(data.output_frames_gen));
    return out;
}

// The set as one recording at 16 kHz: each sentence in the next voice, 0.8 s apart, over noise
// 60 dB below full scale. Empty when a voice is missing.
std::vector<float> speakSet(const std::string& set, const std::vector<Sentence>& sentences,
                            const std::filesystem::path& cache, const std::vector<std::size_t>& voiceOf) {
    std::filesystem::create_directories(cache);
    std::vector<float> out(8000, 0.0f);
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        const Voice& voice = voices()[voiceOf[i]];
        const std::string base = (cache / (set + "-" + std::to_string(i) + "-" + voice.name)).string();
        if (!std::filesystem::exists(base + ".wav")) {
            std::ofstream(base + ".txt") << sentences[i].spoken << "\n";
            const std::string command = voice.command(base + ".txt", base + ".wav") + " >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) {
                std::filesystem::remove(base + ".wav");
                std::fprintf(stderr, "bench_asr: %s failed (install festival, festvox-us-slt-hts and flite)\n",
                             command.c_str());
                return {};
            }
        }
        const auto speech = readWav16k(base + ".wav");
        if (speech.empty()) return {};
        out.insert(out.end(), speech.begin(), speech.end());
        out.resize(out.size() + 12800, 0.0f);
    }
    std::mt19937 noise(22);
    std::uniform_real_distribution<float> floor(-0.001f, 0.001f);
    for (float& sample : out) sample += floor(noise);
    return out;
}

// Occurrences of each name in the reference that the hypothesis also has (as many times).
std::pair<std::size_t, std::size_t> namesFound(const std::vector<std::string>& names, const std::vector<std::string>& ref,
                                               const std::vector<std::string>& hyp) {
    std::size_t total = 0, found = 0;
    for (const auto& name : names) {
        const auto inRef = static_cast<std::size_t>(std::count(ref.begin(), ref.end(), name));
        const auto inHyp = static_cast<std::size_t>(std::count(hyp.begin(), hyp.end(), name));
        total += inRef;
        found += std::min(inRef, inHyp);
    }
    return {found, total};
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// CPU time of this thread: on a machine shared with builds, wall time would measure the others.
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Decodes 48 kHz audio through the live path. Returns the finals; adds the processing time.
std::vector<std::string> decodeLive(platform::SphinxDecoder& decoder, const std::vector<float>& audio,
                                    double& processing, double speechEnd = -1.0, std::optional<double>* latency = nullptr) {
    static platform::AudioHandoff handoff(64);
    static platform::AudioHandoff::Block block;
    std::vector<std::string> finals;
    double position = 0.0;
    double callSeconds = 0.0;
    const speech::ResultHandler sink = [&](std::optional<speech::RecognitionResult> r, std::optional<std::string>) {
        if (!r || !r->isFinal) return;
        finals.push_back(r->text);
        if (latency && speechEnd >= 0.0 && position >= speechEnd)
            *latency = (position - speechEnd) * 1000.0 + callSeconds * 1000.0;
    };
    platform::SphinxStream stream(decoder, {});
    const double cpuStart = threadCpuSeconds();
    for (std::size_t offset = 0; offset < audio.size(); offset += kBufferFrames) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(kBufferFrames, audio.size() - offset));
        const float* channels[] = {audio.data() + offset};
        const auto start = Clock::now();
        handoff.push({channels, 1, n, n, kCaptureRate});
        position += n / kCaptureRate;
        while (handoff.pop(block)) stream.feed(block.samples.data(), block.frames, block.sampleRate, sink);
        callSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    stream.finish(sink);
    processing += threadCpuSeconds() - cpuStart;
    return finals;
}

struct Options {
    std::string dataDir = "/usr/share/pocketsphinx/test/data";
    std::filesystem::path sets = LUMENO_BENCH_ASR_SETS;
    std::filesystem::path cache = LUMENO_BENCH_ASR_CACHE;
    std::filesystem::path churchDir;  // another build of the church model, to compare
    std::optional<std::size_t> voice;  // every sentence in this voice
    bool opus = false;
    bool vocabulary = true;
    bool verbose = false;
    std::vector<std::string> models = {"general", "church"};
    std::vector<std::string> setNames = {"testdata", "sermon", "lecture"};
    platform::DecoderTuning tuning;
};

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--data" && hasValue) {
            o.dataDir = argv[++i];
        } else if (arg == "--codec" && hasValue && std::strcmp(argv[i + 1], "opus") == 0) {
            o.opus = true;
            ++i;
        } else if (arg == "--model" && hasValue) {
            o.models = splitCommas(argv[++i]);
        } else if (arg == "--set" && hasValue) {
            o.setNames = splitCommas(argv[++i]);
        } else if (arg == "--decoder" && hasValue) {
            // -beam=1e-60: replaces the service's value of that setting, or adds it.
            const std::string item = argv[++i];
            const auto eq = item.find('=');
            if (eq == std::string::npos) return std::fprintf(stderr, "bench_asr: --decoder NAME=VALUE\n"), 2;
            auto& settings = o.tuning.settings;
            std::erase_if(settings, [&](const auto& s) { return s.first == item.substr(0, eq); });
            settings.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        } else if (arg == "--domain-weight" && hasValue) {
            o.tuning.domainWeight = std::atof(argv[++i]);
        } else if (arg == "--vocabulary-weight" && hasValue) {
            o.tuning.vocabularyWeight = std::atof(argv[++i]);
        } else if (arg == "--voice" && hasValue) {
            const std::string name = argv[++i];
            for (std::size_t v = 0; v < voices().size(); ++v)
                if (name == voices()[v].name) o.voice = v;
            if (!o.voice) return std::fprintf(stderr, "bench_asr: no voice %s (hts, slt, rms, awb)\n", name.c_str()), 2;
        } else if (arg == "--church" && hasValue) {
            o.churchDir = argv[++i];
        } else if (arg == "--no-vocabulary") {
            o.vocabulary = false;
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: bench_asr [--model general,church] [--set testdata,sermon,lecture] [--codec opus]\n"
                         "                 [--decoder -NAME=VALUE]... [--domain-weight W] [--vocabulary-weight W]\n"
                         "                 [--voice hts|slt|rms|awb] [--church DIR] [--no-vocabulary] [--data DIR] [--verbose]\n");
            return 2;
        }
    }
    auto model = platform::findModel(platform::modelRoots(std::getenv("LUMENO_MODEL_DIR")), "en-US");
    if (!model) {
        std::fprintf(stderr, "bench_asr: no en-US model (install pocketsphinx-en-us)\n");
        return 1;
    }
    std::error_code noExecutable;
    const auto dataDirs = platform::speechDataDirs(std::filesystem::read_symlink("/proc/self/exe", noExecutable).parent_path());
    const auto churchDirs = o.churchDir.empty() ? dataDirs : std::vector<std::filesystem::path>{o.churchDir};
    std::string ltsError;
    const auto ltsFile = platform::findSpeechData(dataDirs, platform::kLetterToSoundRules);
    const auto rules = ltsFile ? platform::LetterToSound::load(*ltsFile, ltsError) : nullptr;

    std::vector<speech::VocabularyEntry> vocabulary;
    std::vector<std::string> operatorNames;
    for (const std::string& line : lines(o.sets / "vocabulary.txt")) {
        const auto bar = line.find('|');
        const auto check = speech::checkVocabularyEntry(line.substr(0, bar), bar == std::string::npos ? "" : line.substr(bar + 1));
        if (!check.entry) return std::fprintf(stderr, "bench_asr: %s: %s\n", line.c_str(), check.error.c_str()), 1;
        vocabulary.push_back(*check.entry);
        operatorNames.push_back(speech::vocabularyWords(check.entry->text).back());
    }
    const auto bibleNames = lines(o.sets / "bible_names.txt");

    std::printf("%-8s %-9s %6s %7s %7s %7s %7s %6s\n", "model", "set", "words", "wer %", "names %", "bible %", "refs %",
                "rtf");
    for (const std::string& modelName : o.models) {
        platform::ModelFiles files = *model;
        if (modelName == "church") {
            const auto lm = platform::findSpeechData(churchDirs, platform::kChurchLanguageModel);
            const auto dict = platform::findSpeechData(churchDirs, platform::kChurchDictionary);
            if (!lm || !dict) return std::fprintf(stderr, "bench_asr: the church model is not built\n"), 1;
            files.domain = platform::DomainModel{*lm, *dict};
        } else if (modelName != "general") {
            return std::fprintf(stderr, "bench_asr: no model %s\n", modelName.c_str()), 2;
        }
        // A fresh decoder for every set: its cepstral normalisation adapts to what it heard last,
        // so a reused one would make each set's result depend on the sets decoded before it.
        std::string loadError;
        const auto load = [&]() -> std::unique_ptr<platform::SphinxDecoder> {
            auto loaded = platform::loadPocketSphinx(files, o.tuning);
            if (!loaded.decoder || !loaded.domainError.empty()) {
                loadError = loaded.error + loaded.domainError;
                return nullptr;
            }
            if (o.vocabulary) {
                std::vector<std::string> unpronounced;
                const auto entries = platform::pronounceVocabulary(vocabulary, *loaded.decoder, rules.get(), unpronounced);
                if (const auto error = loaded.decoder->setVocabulary(entries); !error.empty() || !unpronounced.empty()) {
                    loadError = "vocabulary: " + error;
                    return nullptr;
                }
            }
            return std::move(loaded.decoder);
        };

        for (const std::string& setName : o.setNames) {
            const auto decoderStart = Clock::now();
            const auto fresh = load();
            if (!fresh) return std::fprintf(stderr, "bench_asr: %s\n", loadError.c_str()), 1;
            if (o.verbose)
                std::fprintf(stderr, "bench_asr: %s: decoder with %zu vocabulary entries ready in %.0f ms\n", modelName.c_str(),
                             o.vocabulary ? vocabulary.size() : 0,
                             std::chrono::duration<double, std::milli>(Clock::now() - decoderStart).count());
            platform::SphinxDecoder& decoder = *fresh;
            std::size_t refWords = 0, errors = 0, batchErrors = 0, opusErrors = 0;
            std::size_t namesHit = 0, namesTotal = 0, bibleHit = 0, bibleTotal = 0, refsHit = 0, refsTotal = 0;
            double processing = 0.0, fed = 0.0;
            std::vector<double> latencies;
            std::string perVoice;
            if (setName == "testdata") {
                for (const Clip& clip : kClips) {
                    const auto samples = readClip(o.dataDir + "/" + clip.file);
                    if (samples.empty())
                        return std::fprintf(stderr, "bench_asr: cannot read %s/%s (install pocketsphinx-testdata)\n",
                                            o.dataDir.c_str(), clip.file.c_str()), 1;
                    const auto ref = words(clip.reference);
                    refWords += ref.size();
                    const auto audio = toCaptureRate(samples);
                    fed += static_cast<double>(audio.size()) / kCaptureRate;
                    std::optional<double> latency;
                    const std::string streamed =
                        joined(decodeLive(decoder, audio, processing, kLeadSeconds + endOfSpeech(samples), &latency));
                    if (latency) latencies.push_back(*latency);
                    errors += editDistance(ref, words(streamed));
                    std::string batch;
                    if (decoder.startUtterance() && decoder.process(samples.data(), samples.size()) && decoder.endUtterance())
                        batch = platform::tidyHypothesis(decoder.hypothesis());
                    batchErrors += editDistance(ref, words(batch));
                    if (o.opus) {
                        const auto heard = throughOpus(audio);
                        if (heard.empty()) return std::fprintf(stderr, "bench_asr: the Opus codec failed\n"), 1;
                        double ignored = 0.0;
                        opusErrors += editDistance(ref, words(joined(decodeLive(decoder, heard, ignored))));
                    }
                    if (o.verbose)
                        std::printf("  %-14s ref: %s\n  %-14s live: %s\n  %-14s batch: %s\n", clip.name.c_str(),
                                    clip.reference.c_str(), "", streamed.c_str(), "", batch.c_str());
                }
            } else {
                const auto sentences = readSentences(o.sets / (setName + ".txt"));
                if (sentences.empty()) return std::fprintf(stderr, "bench_asr: no set %s\n", setName.c_str()), 2;
                // The voices in turn, or one voice throughout (a sermon has one preacher).
                std::vector<std::size_t> voiceOf(sentences.size());
                for (std::size_t i = 0; i < sentences.size(); ++i) voiceOf[i] = o.voice.value_or(i % voices().size());
                const auto speech = speakSet(setName, sentences, o.cache, voiceOf);
                if (speech.empty()) return 1;
                std::vector<std::int16_t> asInt;  // toCaptureRate takes 16-bit samples
                for (float v : speech) asInt.push_back(static_cast<std::int16_t>(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
                const auto audio = toCaptureRate(asInt);
                fed += static_cast<double>(audio.size()) / kCaptureRate;
                const std::string hyp = joined(decodeLive(decoder, audio, processing));
                std::string refText;
                std::vector<std::string> expected;
                std::vector<std::size_t> sentenceOf;  // per reference word
                for (std::size_t i = 0; i < sentences.size(); ++i) {
                    refText += (refText.empty() ? "" : " ") + sentences[i].spoken;
                    sentenceOf.resize(words(refText).size(), i);
                    expected.insert(expected.end(), sentences[i].references.begin(), sentences[i].references.end());
                }
                const auto ref = words(refText);
                const auto hypWords = words(hyp);
                refWords += ref.size();
                errors += editDistance(ref, hypWords);
                // Each voice's share: the voices differ far more than the models do.
                std::vector<std::size_t> voiceWords(voices().size()), voiceErrors(voices().size());
                const auto charged = errorsPerWord(ref, hypWords);
                for (std::size_t w = 0; w < ref.size(); ++w) {
                    ++voiceWords[voiceOf[sentenceOf[w]]];
                    voiceErrors[voiceOf[sentenceOf[w]]] += charged[w];
                }
                for (std::size_t v = 0; v < voices().size(); ++v) {
                    if (!voiceWords[v]) continue;
                    char part[64];
                    std::snprintf(part, sizeof part, " wer_%s=%.1f", voices()[v].name,
                                  voiceWords[v] ? 100.0 * static_cast<double>(voiceErrors[v]) / static_cast<double>(voiceWords[v]) : -1.0);
                    perVoice += part;
                }
                std::tie(namesHit, namesTotal) = namesFound(operatorNames, ref, hypWords);
                std::tie(bibleHit, bibleTotal) = namesFound(bibleNames, ref, hypWords);
                const std::string formatted = speech::formatScriptureReferences(hyp);
                std::map<std::string, std::size_t> wanted;
                for (const auto& r : expected) ++wanted[r];
                for (const auto& [r, n] : wanted) {
                    refsTotal += n;
                    refsHit += std::min(n, occurrences(formatted, r));
                }
                if (o.verbose) std::printf("  ref: %s\n  hyp: %s\n  formatted: %s\n", refText.c_str(), hyp.c_str(), formatted.c_str());
            }
            auto percent = [](std::size_t hit, std::size_t total) {
                return total ? 100.0 * static_cast<double>(hit) / static_cast<double>(total) : -1.0;
            };
            const double wer = percent(errors, refWords);
            std::printf("%-8s %-9s %6zu %7.1f %7.0f %7.0f %7.0f %6.3f\n", modelName.c_str(), setName.c_str(), refWords, wer,
                        percent(namesHit, namesTotal), percent(bibleHit, bibleTotal), percent(refsHit, refsTotal),
                        processing / fed);
            std::printf("asr model=%s set=%s words=%zu wer=%.1f names=%.0f bible=%.0f refs=%.0f rtf=%.3f", modelName.c_str(),
                        setName.c_str(), refWords, wer, percent(namesHit, namesTotal), percent(bibleHit, bibleTotal),
                        percent(refsHit, refsTotal), processing / fed);
            std::printf("%s", perVoice.c_str());
            if (setName == "testdata") {
                std::sort(latencies.begin(), latencies.end());
                std::printf(" wer_batch=%.1f final_latency_ms_p50=%.0f", percent(batchErrors, refWords),
                            latencies.empty() ? -1.0 : latencies[latencies.size() / 2]);
                if (o.opus) std::printf(" wer_stream_opus=%.1f", percent(opusErrors, refWords));
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    return 0;
}
