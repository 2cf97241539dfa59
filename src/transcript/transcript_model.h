#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "core/log.h"

namespace lumeno::transcript {

using Clock = std::chrono::system_clock;

struct TranscriptEntry {
    std::string text;
    bool isFinal = false;
    Clock::time_point timestamp;
    // Already replaced by its punctuation-refined text: a refinement comes once per final, so a
    // later sentence that merely looks the same is a new line.
    bool refined = false;
};

// The transcript panel's list of lines: merges the partial and final results the speech session
// reports into entries (at most the last one partial), newest last, at most maxEntries. Text
// arrives already corrected by the session; only the word-by-word reference formatting runs
// here. Thread: main.
class TranscriptModel {
public:
    static constexpr std::size_t maxEntries = 100;

    struct Services {
        core::Logger& log;
        std::function<bool()> useBiblicalTerms;
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
    };

    explicit TranscriptModel(Services services) : services_(std::move(services)) {}

    // Merges one update; returns whether the display must be redrawn.
    bool addTranscription(const std::string& text, bool isFinal);

    const std::deque<TranscriptEntry>& entries() const { return entries_; }

private:
    bool addPartial(const std::string& processed);
    bool addFinal(const std::string& processed);
    TranscriptEntry* refinableFinal();

    Services services_;
    std::deque<TranscriptEntry> entries_;
};

// Spoken Old Testament references written out, word by word ("Genesis 1 1" -> "Genesis 1:1").
std::string formatOldTestamentReferences(std::string_view text);

// Whether `next` is `previous` as the punctuation pass rewrote it: equal once letter case,
// punctuation and white space are ignored, yet not identical.
bool isRefinementOf(std::string_view previous, std::string_view next);

// User-perceived characters, the unit of every length rule of the transcript.
std::size_t characterCount(std::string_view text);
// The first `count` user-perceived characters.
std::string firstCharacters(std::string_view text, std::size_t count);

// A line as the panel shows it: line breaks and other control characters become spaces (each
// entry must stay one line for the click lookup), and text longer than `limit` characters is cut
// with an ellipsis. The entry itself keeps the whole text.
std::string displayText(std::string_view text, std::size_t limit);

}  // namespace lumeno::transcript
