#include "platform/sphinx/sphinx_stream.h"

#include <samplerate.h>

#include <cmath>
#include <sstream>

namespace lumeno::platform {

namespace {

constexpr std::size_t kMaxChunk = 4096;  // 16 kHz samples per decoder call

}  // namespace

std::string tidyHypothesis(const std::string& text) {
    std::istringstream words(text);
    std::string word;
    std::string tidy;
    while (words >> word) {
        if (!tidy.empty()) tidy += ' ';
        tidy += word;
    }
    return tidy;
}

SphinxStream::SphinxStream(SphinxDecoder& decoder, Options options) : decoder_(decoder), options_(options) {}

SphinxStream::~SphinxStream() {
    abandon();  // the decoder outlives the stream and must be left between utterances
    if (resampler_) src_delete(resampler_);
}

void SphinxStream::fail(const std::string& what, const speech::ResultHandler& sink) {
    if (!failing_ && sink) sink(std::nullopt, what);
    failing_ = true;
}

bool SphinxStream::resample(const float* samples, std::size_t frames, double sampleRate) {
    if (sampleRate != inputRate_) {
        if (resampler_) resampler_ = src_delete(resampler_);
        inputRate_ = sampleRate;
        if (sampleRate != SphinxDecoder::kSampleRate) {
            int error = 0;
            resampler_ = src_new(SRC_SINC_FASTEST, 1, &error);
            if (!resampler_) return false;
        }
    }
    if (!resampler_) {
        resampled_.assign(samples, samples + frames);
        return true;
    }
    const double ratio = SphinxDecoder::kSampleRate / sampleRate;
    resampled_.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio)) + 16);
    SRC_DATA data{};
    data.data_in = samples;
    data.input_frames = static_cast<long>(frames);
    data.data_out = resampled_.data();
    data.output_frames = static_cast<long>(resampled_.size());
    data.src_ratio = ratio;
    data.end_of_input = 0;
    if (src_process(resampler_, &data) != 0) return false;
    resampled_.resize(static_cast<std::size_t>(data.output_frames_gen));
    return true;
}

void SphinxStream::feed(const float* samples, std::size_t frames, double sampleRate, const speech::ResultHandler& sink) {
    if (frames == 0) return;
    if (!(sampleRate >= 1000.0 && sampleRate <= 768000.0)) {
        fail("audio at an unusable sample rate", sink);
        return;
    }
    // A not-a-number or infinite sample would poison the resampler's filter for good: silence it.
    input_.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) input_[i] = std::isfinite(samples[i]) ? samples[i] : 0.0f;
    if (!resample(input_.data(), frames, sampleRate)) {
        fail("the audio could not be resampled for the decoder", sink);
        inputRate_ = 0.0;  // start the resampler afresh with the next block
        return;
    }
    pcm_.resize(resampled_.size());
    src_float_to_short_array(resampled_.data(), pcm_.data(), static_cast<int>(resampled_.size()));
    for (std::size_t offset = 0; offset < pcm_.size(); offset += kMaxChunk)
        decode(pcm_.data() + offset, std::min(kMaxChunk, pcm_.size() - offset), sink);
}

void SphinxStream::decode(const std::int16_t* pcm, std::size_t count, const speech::ResultHandler& sink) {
    // An utterance opens as soon as the last one ended, in the silence after it.
    if (utteranceOpen_ && !inSpeech_ && options_.changePending && options_.changePending()) endUtterance(sink, false);
    if (!utteranceOpen_) {
        if (options_.beforeUtterance) options_.beforeUtterance();
        if (!decoder_.startUtterance()) {
            fail("the decoder could not start an utterance", sink);
            return;
        }
        utteranceOpen_ = true;
    }
    if (!decoder_.process(pcm, count)) {
        fail("the decoder failed on the audio", sink);
        endUtterance(sink, false);
        return;
    }
    failing_ = false;
    decodedSamples_ += count;

    const bool speech = decoder_.inSpeech();
    if (speech && !inSpeech_) {
        inSpeech_ = true;
        speechSamples_ = 0;
        lastPartialSamples_ = 0;
    }
    if (!inSpeech_) return;
    speechSamples_ += count;
    if (!speech || static_cast<double>(speechSamples_) >= options_.maxUtteranceSeconds * SphinxDecoder::kSampleRate) {
        endUtterance(sink, true);
        return;
    }
    const auto interval = static_cast<std::uint64_t>(options_.partialIntervalSeconds * SphinxDecoder::kSampleRate);
    if (options_.reportPartialResults && speechSamples_ - lastPartialSamples_ >= interval) {
        lastPartialSamples_ = speechSamples_;
        const std::string text = tidyHypothesis(decoder_.hypothesis());
        if (!text.empty() && sink) sink(speech::RecognitionResult{text, false}, std::nullopt);
    }
}

void SphinxStream::endUtterance(const speech::ResultHandler& sink, bool deliver) {
    if (!utteranceOpen_) return;
    utteranceOpen_ = false;
    const bool hadSpeech = inSpeech_;
    inSpeech_ = false;
    if (!decoder_.endUtterance()) {
        if (deliver) fail("the decoder could not finish an utterance", sink);
        return;
    }
    if (!deliver || !hadSpeech) return;
    const std::string text = tidyHypothesis(decoder_.hypothesis());
    if (!text.empty() && sink) sink(speech::RecognitionResult{text, true}, std::nullopt);
}

void SphinxStream::finish(const speech::ResultHandler& sink) { endUtterance(sink, true); }

void SphinxStream::abandon() { endUtterance({}, false); }

}  // namespace lumeno::platform
