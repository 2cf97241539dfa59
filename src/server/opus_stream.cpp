#include "server/opus_stream.h"

#include <ogg/ogg.h>
#include <opus/opus.h>

#include <atomic>
#include <random>
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
    std::unique_ptr<MonoResampler> resampler;
    ogg_int64_t granule = 0;
    ogg_int64_t packetNumber = 0;
    std::vector<float> pending;  // 48 kHz samples not yet making a whole frame
    unsigned char packet[kMaxPacketBytes];

    ~State() {
        if (opus) opus_encoder_destroy(opus);
        if (oggReady) ogg_stream_clear(&ogg);
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
    state->resampler = MonoResampler::create(error);
    if (!state->resampler) return nullptr;
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

void OggOpusEncoder::restartInput() { state_->resampler->restart(); }

void OggOpusEncoder::encode(const core::Bytes& chunk, core::AudioFormat format, core::Bytes& out) {
    State& s = *state_;
    s.resampler->append(chunk, format, s.pending);

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

OpusStream::OpusStream(int bitrate, core::Logger& log, FormatSource format, Sink sink)
    : EncodedStream({.name = "Opus",
                     .bitrate = bitrate,
                     .whenUnavailable = "Opus listeners get the raw stream",
                     .makeEncoder =
                         [bitrate](std::string& error) -> std::unique_ptr<StreamEncoder> {
                             // A fresh serial per run: a client that saw the last run cannot
                             // mistake this one for it.
                             static std::atomic<std::uint32_t> runs{0};
                             const std::uint32_t serial = static_cast<std::uint32_t>(std::random_device{}()) ^
                                                          (runs.fetch_add(1) * 0x9E3779B9u);
                             return OggOpusEncoder::create(bitrate, serial, error);
                         }},
                    log, std::move(format), std::move(sink)) {}

}  // namespace lumeno::server
