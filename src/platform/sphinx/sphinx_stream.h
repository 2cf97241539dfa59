#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sphinx/sphinx_decoder.h"
#include "speech/speech_recognizer.h"

struct SRC_STATE_tag;

namespace lumeno::platform {

// Live decoding of one audio stream: resamples to the decoder's 16 kHz, cuts the stream into
// utterances where the decoder's voice detection says speech starts and ends, reports the
// growing hypothesis while speech goes on and the final one when it ends. Blank hypotheses
// (silence, noise, the flush at the end of input) never become results. A decoder failure is
// reported once per run of failures; the utterance is dropped and the next one starts fresh.
// Thread: one at a time (the recogniser's decoding thread, or a benchmark's).
class SphinxStream {
public:
    struct Options {
        bool reportPartialResults = true;
        // Audio time between partial results while speech goes on.
        double partialIntervalSeconds = 0.4;
        // A speaker who never pauses still gets a final this often, and the decoder's memory for
        // one utterance stays bounded.
        double maxUtteranceSeconds = 20.0;
        // Runs before each utterance starts, when the decoder may be changed (a new vocabulary).
        std::function<void()> beforeUtterance;
        // Whether such a change waits: an utterance that has heard no speech yet is then ended
        // and started again, so the change applies to the next words said.
        std::function<bool()> changePending;
    };

    SphinxStream(SphinxDecoder& decoder, Options options);
    ~SphinxStream();
    SphinxStream(const SphinxStream&) = delete;
    SphinxStream& operator=(const SphinxStream&) = delete;

    // Mono samples at any rate. Results and errors go to `sink` before this returns.
    void feed(const float* samples, std::size_t frames, double sampleRate, const speech::ResultHandler& sink);
    // End of input: the open utterance, if it held speech, gives its final.
    void finish(const speech::ResultHandler& sink);
    // Ends the open utterance and drops it (a cancelled task).
    void abandon();

    // Seconds of 16 kHz audio handed to the decoder so far.
    double decodedSeconds() const { return static_cast<double>(decodedSamples_) / SphinxDecoder::kSampleRate; }

private:
    void decode(const std::int16_t* pcm, std::size_t count, const speech::ResultHandler& sink);
    void endUtterance(const speech::ResultHandler& sink, bool deliver);
    bool resample(const float* samples, std::size_t frames, double sampleRate);
    void fail(const std::string& what, const speech::ResultHandler& sink);

    SphinxDecoder& decoder_;
    Options options_;
    SRC_STATE_tag* resampler_ = nullptr;
    double inputRate_ = 0.0;
    std::vector<float> input_;
    std::vector<float> resampled_;
    std::vector<std::int16_t> pcm_;

    bool utteranceOpen_ = false;
    bool inSpeech_ = false;
    bool failing_ = false;
    std::uint64_t speechSamples_ = 0;       // in the current utterance since speech began
    std::uint64_t lastPartialSamples_ = 0;  // speechSamples_ at the last partial check
    std::uint64_t decodedSamples_ = 0;
};

// A hypothesis as a caption: words separated by single spaces, nothing when it is blank.
std::string tidyHypothesis(const std::string& text);

}  // namespace lumeno::platform
