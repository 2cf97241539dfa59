#include "transcript/correction_selection.h"

#include <algorithm>

#include "speech/icu_text.h"
#include "transcript/transcript_model.h"

namespace lumeno::transcript {

namespace {

constexpr double kPadding = 8.0;
constexpr double kWordSpacing = 6.0;
constexpr double kLineHeight = 20.0;
constexpr double kRowPitch = 24.0;
constexpr double kMinUsableWidth = 200.0;
constexpr double kMinContentWidth = 400.0;

// What the punctuation pass adds at the ends of words.
constexpr std::string_view kEndPunctuation = ".,?!;:";

std::string trimmed(std::string_view text) {
    return speech::toUtf8(speech::trimWhitespace(speech::toUnicode(text)));
}

bool onlyPunctuation(std::string_view word) {
    const icu::UnicodeString text = speech::toUnicode(word);
    for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
        if (!u_ispunct(text.char32At(i))) return false;
    return true;
}

}  // namespace

bool isClickableLine(std::string_view line) {
    const std::string text = trimmed(line);
    return !text.empty() && text != kWaitingForSpeech && text != kListening && !text.starts_with("●") &&
           characterCount(text) >= 3;
}

std::string lineForCorrection(std::string_view line) {
    std::string text(line);
    const std::string marker = kPartialMarker;
    for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) text.erase(at, marker.size());
    return trimmed(text);
}

std::vector<std::string> splitWords(std::string_view line) {
    const icu::UnicodeString text = speech::toUnicode(line);
    std::vector<std::string> words;
    auto isSpace = [&](std::int32_t i) { return u_isUWhiteSpace(text.char32At(i)); };
    std::int32_t i = 0;
    while (i < text.length()) {
        while (i < text.length() && isSpace(i)) i = text.moveIndex32(i, 1);
        const std::int32_t start = i;
        while (i < text.length() && !isSpace(i)) i = text.moveIndex32(i, 1);
        if (i > start) words.push_back(speech::toUtf8(icu::UnicodeString(text, start, i - start)));
    }
    return words;
}

ChipLayout layoutChips(const std::vector<double>& wordWidths, double viewWidth, double viewHeight) {
    ChipLayout layout;
    const double usable = std::max(viewWidth - 2 * kPadding, kMinUsableWidth);
    double x = kPadding;
    double rowTop = kPadding;
    double contentHeight = 0;
    for (double w : wordWidths) {
        if (x > kPadding && x + w > usable) {
            x = kPadding;
            rowTop += kRowPitch;
        }
        layout.rects.push_back({x, rowTop, w, kLineHeight});
        contentHeight = std::max(contentHeight, rowTop + kLineHeight + kPadding);
        x += w + kWordSpacing;
    }
    layout.contentWidth = std::max(usable + 2 * kPadding, kMinContentWidth);
    layout.contentHeight = std::max(contentHeight, viewHeight);
    return layout;
}

std::optional<std::string> misheardText(const std::vector<std::string>& words, const std::set<int>& selected) {
    std::string joined;
    for (int index : selected) {
        if (index < 0 || static_cast<std::size_t>(index) >= words.size()) continue;
        std::string_view word = words[static_cast<std::size_t>(index)];
        const auto first = word.find_first_not_of(kEndPunctuation);
        if (first == std::string_view::npos) continue;
        word = word.substr(first, word.find_last_not_of(kEndPunctuation) - first + 1);
        if (onlyPunctuation(word)) continue;
        if (!joined.empty()) joined += ' ';
        joined += word;
    }
    if (joined.empty()) return std::nullopt;
    return joined;
}

std::string correctionKey(std::string_view misheard) { return speech::toUtf8(speech::lower(speech::toUnicode(misheard))); }

std::optional<std::string> usableCorrection(std::string_view misheard, std::string_view typed) {
    std::string correction = trimmed(typed);
    if (correction.empty() || correction == misheard) return std::nullopt;
    return correction;
}

}  // namespace lumeno::transcript
