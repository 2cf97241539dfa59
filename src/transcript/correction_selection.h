#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace lumeno::transcript {

// The rules of click-to-correct that need no widgets: which transcript lines can be clicked,
// the words of a line, the chip layout of the word picker, and the correction the operator's
// choice makes. Thread: any.

inline constexpr const char* kWaitingForSpeech = "Waiting for speech...";
inline constexpr const char* kListening = "Listening...";
inline constexpr const char* kPartialMarker = " ●";

// `line` trimmed of white space and line breaks; false for the status lines, the partial
// marker and anything shorter than three characters.
bool isClickableLine(std::string_view line);

// The line without its partial markers and surrounding white space: the text the dialog offers.
std::string lineForCorrection(std::string_view line);

// The line split at white space and line breaks, empty pieces dropped.
std::vector<std::string> splitWords(std::string_view line);

struct ChipRect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ChipRect&) const = default;
};

struct ChipLayout {
    std::vector<ChipRect> rects;  // one per word, in word order
    double contentWidth = 0;
    double contentHeight = 0;
};

// Lays the words (their measured widths) out in rows inside a view `viewWidth` wide: 8 of padding,
// 6 between words, rows 20 high on a pitch of 24, at least 200 of usable width.
ChipLayout layoutChips(const std::vector<double>& wordWidths, double viewWidth, double viewHeight);

// The misheard text of a selection: the selected words in line order, each without the
// punctuation the refinement pass puts at word ends, joined by single spaces. Nothing when no
// word is selected or the selected words are only punctuation.
std::optional<std::string> misheardText(const std::vector<std::string>& words, const std::set<int>& selected);

// The custom-corrections key for misheard text.
std::string correctionKey(std::string_view misheard);

// The typed correction trimmed, or nothing when it is empty or the misheard text itself.
std::optional<std::string> usableCorrection(std::string_view misheard, std::string_view typed);

}  // namespace lumeno::transcript
