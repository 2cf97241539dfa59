#include "server/opus_stream.h"

#include <ogg/ogg.h>
#include <opus/opus.h>
#include <pthread.h>
#include <samplerate.h>

#include <cmath>
#include <random>
#include <system_error>
#include <vector>

namespace lumeno::server {

namespace {

// Room for the largest packet libopus makes of one frame (1275 bytes) with margin.
constexpr int kMaxPacketBytes = 4000;

void putLe16(core::Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putLe32(core::Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putText(core::Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

}  // namespace

struct OggOpusEncoder::State {
    OpusEncoder* opus = nullptr;
    ogg_stream_state ogg{};
    bool oggReady = false;
    SRC_STATE* resampler = nullptr;
    double inputRate = 0.0;
    ogg_int64_t granule = 0;
    ogg_int64_t packetNumber = 0;
    std::vector<float> mono;
    std::vector<float> resampled;
    std::vector<float> pending;  // 48 kHz samples not yet making a whole frame
    unsigned char packet[kMaxPacketBytes];

    ~State() {
        if (opus) opus_encoder_destroy(opus);
        if (oggReady) ogg_stream_clear(&ogg);
        if (resampler) src_delete(resampler);
    }
};

OggOpusEncoder::OggOpusEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
OggOpusEncoder::~OggOpusEncoder() = default;

std::unique_ptr<OggOpusEncoder> OggOpusEncoder::create(int bitrate, std::uint32_t serial, std::string& error) {
    auto state = std::make_unique<State>();
    int status = OPUS_OK;
    // AUDIO with the voice signal hint rather than VOIP: VOIP's speech emphasis and high-pass
    // colour the music and congregational singing a venue also streams, for no gain in clarity.
    state->opus = opus_encoder_create(kOpusSampleRate, 1, OPUS_APPLICATION_AUDIO, &status);
    if (!state->opus) {
        error = opus_strerror(status);
        return nullptr;
    }
    if (bitrate <= 0) {
        error = "bitrate " + std::to_string(bitrate) + ": " + opus_strerror(OPUS_BAD_ARG);
        return nullptr;
    }
    // Constrained: a listener's share of the venue's network is a budget, which plain VBR may
    // overrun on dense passages.
    if ((status = opus_encoder_ctl(state->opus, OPUS_SET_BITRATE(encoderBitrateFor(bitrate)))) != OPUS_OK ||
        (status = opus_encoder_ctl(state->opus, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE))) != OPUS_OK ||
        (status = opus_encoder_ctl(state->opus, OPUS_SET_VBR(1))) != OPUS_OK ||
        (status = opus_encoder_ctl(state->opus, OPUS_SET_VBR_CONSTRAINT(1))) != OPUS_OK ||
        // Half the default's cost for a difference in speech at this bitrate that is hard to
        // hear: the encoder is the one cost the compressed stream adds to the server.
        (status = opus_encoder_ctl(state->opus, OPUS_SET_COMPLEXITY(5))) != OPUS_OK) {
        error = std::string("bitrate ") + std::to_string(bitrate) + ": " + opus_strerror(status);
        return nullptr;
    }
    opus_int32 lookahead = 0;
    opus_encoder_ctl(state->opus, OPUS_GET_LOOKAHEAD(&lookahead));
    int srcError = 0;
    state->resampler = src_new(SRC_SINC_FASTEST, 1, &srcError);
    if (!state->resampler) {
        error = src_strerror(srcError);
        return nullptr;
    }
    if (ogg_stream_init(&state->ogg, static_cast<int>(serial)) != 0) {
        error = "the Ogg stream could not be set up";
        return nullptr;
    }
    state->oggReady = true;

    std::unique_ptr<OggOpusEncoder> encoder(new OggOpusEncoder(std::move(state)));
    core::Bytes head;
    putText(head, "OpusHead");
    head.push_back(1);  // version
    head.push_back(1);  // channels
    putLe16(head, static_cast<std::uint16_t>(lookahead));
    putLe32(head, kOpusSampleRate);
    putLe16(head, 0);   // output gain
    head.push_back(0);  // mapping family: mono/stereo
    core::Bytes tags;
    putText(tags, "OpusTags");
    const std::string_view vendor = opus_get_version_string();
    putLe32(tags, static_cast<std::uint32_t>(vendor.size()));
    putText(tags, vendor);
    putLe32(tags, 0);  // no comments

    core::Bytes pages;
    encoder->appendPage(pages, head.data(), static_cast<long>(head.size()), true);
    encoder->appendPage(pages, tags.data(), static_cast<long>(tags.size()), true);
    encoder->headers_ = std::make_shared<const core::Bytes>(std::move(pages));
    return encoder;
}

void OggOpusEncoder::appendPage(core::Bytes& out, const unsigned char* data, long size, bool header) {
    State& s = *state_;
    ogg_packet packet{};
    packet.packet = const_cast<unsigned char*>(data);
    packet.bytes = size;
    packet.b_o_s = s.packetNumber == 0 ? 1 : 0;
    // Header packets carry granule 0; an audio packet the count of 48 kHz samples decoded so far.
    packet.granulepos = header ? 0 : s.granule;
    packet.packetno = s.packetNumber++;
    ogg_stream_packetin(&s.ogg, &packet);
    ogg_page page;
    // One packet per page, flushed at once: a listener hears a frame as soon as it is encoded.
    while (ogg_stream_flush(&s.ogg, &page) != 0) {
        out.insert(out.end(), page.header, page.header + page.header_len);
        out.insert(out.end(), page.body, page.body + page.body_len);
    }
}

bool OggOpusEncoder::resample(double rate) {
    State& s = *state_;
    if (rate != s.inputRate) {
        // A new capture format: the filter's history belongs to the old rate.
        src_reset(s.resampler);
        s.inputRate = rate;
    }
    const double ratio = kOpusSampleRate / rate;
    s.resampled.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(s.mono.size()) * ratio)) + 16);
    SRC_DATA data{};
    data.data_in = s.mono.data();
    data.input_frames = static_cast<long>(s.mono.size());
    data.data_out = s.resampled.data();
    data.output_frames = static_cast<long>(s.resampled.size());
    data.src_ratio = ratio;
    if (src_process(s.resampler, &data) != 0) {
        src_reset(s.resampler);
        return false;
    }
    s.resampled.resize(static_cast<std::size_t>(data.output_frames_gen));
    return true;
}

void OggOpusEncoder::restartInput() {
    src_reset(state_->resampler);
    state_->inputRate = 0.0;
}

void OggOpusEncoder::encode(const core::Bytes& chunk, core::AudioFormat format, core::Bytes& out) {
    State& s = *state_;
    const std::uint32_t channels = format.channelCount;
    if (channels != 1 && channels != 2) return;
    if (!(format.sampleRate >= 8000.0 && format.sampleRate <= 384000.0)) return;
    const std::size_t frames = chunk.size() / (2 * channels);
    if (frames == 0) return;

    // Mono for the stream: the average of the channels (a stereo desk feed folds down whole).
    s.mono.resize(frames);
    const std::uint8_t* bytes = chunk.data();
    for (std::size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (std::uint32_t c = 0; c < channels; ++c) {
            const std::uint8_t* sample = bytes + 2 * (f * channels + c);
            sum += static_cast<float>(static_cast<std::int16_t>(sample[0] | sample[1] << 8));
        }
        s.mono[f] = sum / (32768.0f * static_cast<float>(channels));
    }
    if (format.sampleRate == kOpusSampleRate) {
        s.inputRate = format.sampleRate;
        s.pending.insert(s.pending.end(), s.mono.begin(), s.mono.end());
    } else {
        if (!resample(format.sampleRate)) return;
        s.pending.insert(s.pending.end(), s.resampled.begin(), s.resampled.end());
    }

    std::size_t used = 0;
    while (s.pending.size() - used >= kOpusFrameSamples) {
        const opus_int32 size = opus_encode_float(s.opus, s.pending.data() + used, kOpusFrameSamples, s.packet,
                                                  kMaxPacketBytes);
        used += kOpusFrameSamples;
        if (size < 0) continue;  // the frame is lost; the stream's timing stays with the packets sent
        s.granule += kOpusFrameSamples;
        appendPage(out, s.packet, size, false);
    }
    s.pending.erase(s.pending.begin(), s.pending.begin() + static_cast<std::ptrdiff_t>(used));
}

OpusStream::OpusStream(int bitrate, core::Logger& log, FormatSource format, PageSink sink)
    : bitrate_(bitrate), log_(log), format_(std::move(format)), sink_(std::move(sink)) {}

OpusStream::~OpusStream() {
    if (thread_.joinable()) {
        stopRequested_.store(true);
        wake_.fetch_add(1, std::memory_order_release);
        wake_.notify_all();
        thread_.join();
    }
}

core::SharedBytes OpusStream::headerPages() const { return running() ? headers_ : nullptr; }

bool OpusStream::start() {
    if (running()) return true;
    std::string error;
    // A fresh serial per run: a client that saw the last run cannot mistake this one for it.
    static std::atomic<std::uint32_t> runs{0};
    const std::uint32_t serial = static_cast<std::uint32_t>(std::random_device{}()) ^ (runs.fetch_add(1) * 0x9E3779B9u);
    auto encoder = OggOpusEncoder::create(bitrate_, serial, error);
    auto failed = [&](const std::string& why) {
        if (!failureLogged_)
            log_.print("❌ Opus encoder failed to start (", why, "); Opus listeners get the raw stream");
        failureLogged_ = true;
        headers_.reset();
        return false;
    };
    if (!encoder) return failed(error);
    discardQueued();
    dropped_.store(0);
    stopRequested_.store(false);
    headers_ = encoder->headerPages();
    ++generation_;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread(&OpusStream::run, this, std::move(encoder), generation_);
    } catch (const std::system_error& e) {
        running_.store(false);
        return failed(e.what());
    }
    failureLogged_ = false;
    log_.print("Opus encoder started at ", bitrate_ / 1000, " kbit/s");
    return true;
}

void OpusStream::stop() {
    if (!thread_.joinable()) return;
    running_.store(false, std::memory_order_release);
    stopRequested_.store(true);
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_all();
    thread_.join();
    discardQueued();
    headers_.reset();
    log_.print("Opus encoder stopped");
}

void OpusStream::push(const core::SharedBytes& chunk) {
    if (!running_.load(std::memory_order_acquire)) return;
    const std::uint32_t write = writeIndex_.load(std::memory_order_relaxed);
    if (write - readIndex_.load(std::memory_order_acquire) >= kRingSize) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // The consumer left this slot empty, so the assignment frees nothing on this thread.
    ring_[write % kRingSize] = chunk;
    writeIndex_.store(write + 1, std::memory_order_release);
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
}

void OpusStream::discardQueued() {
    std::uint32_t read = readIndex_.load(std::memory_order_relaxed);
    const std::uint32_t write = writeIndex_.load(std::memory_order_acquire);
    for (; read != write; ++read) ring_[read % kRingSize].reset();
    readIndex_.store(read, std::memory_order_release);
}

void OpusStream::run(std::unique_ptr<OggOpusEncoder> encoder, std::uint64_t generation) {
    pthread_setname_np(pthread_self(), "opus.encoder");
    core::Bytes pages;
    bool dropLogged = false;
    std::uint32_t inputEpoch = inputEpoch_.load(std::memory_order_acquire);
    for (;;) {
        const std::uint32_t seen = wake_.load(std::memory_order_acquire);
        std::uint32_t read = readIndex_.load(std::memory_order_relaxed);
        while (read != writeIndex_.load(std::memory_order_acquire)) {
            core::SharedBytes chunk = std::move(ring_[read % kRingSize]);
            readIndex_.store(++read, std::memory_order_release);
            if (!chunk) continue;
            if (const auto epoch = inputEpoch_.load(std::memory_order_acquire); epoch != inputEpoch) {
                inputEpoch = epoch;
                encoder->restartInput();
            }
            const core::AudioFormat format = format_().value_or(core::AudioFormat{44100.0, 1});
            pages.clear();
            encoder->encode(*chunk, format, pages);
            // The pages of one capture buffer leave together: they were all ready at the same moment.
            if (!pages.empty()) sink_(generation, std::make_shared<const core::Bytes>(pages));
        }
        if (!dropLogged && dropped_.load(std::memory_order_relaxed) > 0) {
            log_.print("❌ Opus encoder fell behind the capture; dropped ", dropped_.load(), " buffers");
            dropLogged = true;
        }
        if (stopRequested_.load()) return;
        wake_.wait(seen, std::memory_order_acquire);
    }
}

}  // namespace lumeno::server
