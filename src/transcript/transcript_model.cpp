#include "transcript/transcript_model.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "speech/icu_text.h"

namespace lumeno::transcript {

namespace {

using icu::UnicodeString;

// Calls `visit(end)` with the end offset (UTF-16) of each user-perceived character until it
// returns false.
template <typename Visit>
void forEachCharacterEnd(const UnicodeString& text, Visit&& visit) {
    // Made once per thread: every update measures several texts, and making one costs more
    // than measuring a line.
    thread_local const std::unique_ptr<icu::BreakIterator> characters = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    icu::BreakIterator* it = characters.get();
    if (!it) {
        // Without break rules, fall back to code points.
        for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
            if (!visit(text.moveIndex32(i, 1))) return;
        return;
    }
    it->setText(text);
    it->first();
    for (std::int32_t end = it->next(); end != icu::BreakIterator::DONE; end = it->next())
        if (!visit(end)) return;
}

const std::array<const char*, 39>& oldTestamentBooks() {
    static const std::array<const char*, 39> books = {
        "Genesis", "Exodus", "Leviticus", "Numbers", "Deuteronomy", "Joshua", "Judges", "Ruth", "1 Samuel",
        "2 Samuel", "1 Kings", "2 Kings", "1 Chronicles", "2 Chronicles", "Ezra", "Nehemiah", "Esther", "Job",
        "Psalms", "Proverbs", "Ecclesiastes", "Song of Solomon", "Isaiah", "Jeremiah", "Lamentations", "Ezekiel",
        "Daniel", "Hosea", "Joel", "Amos", "Obadiah", "Jonah", "Micah", "Nahum", "Habakkuk", "Zephaniah", "Haggai",
        "Zechariah", "Malachi"};
    return books;
}

bool isBookName(const UnicodeString& word) {
    static const std::vector<UnicodeString> lowered = [] {
        std::vector<UnicodeString> names;
        for (const char* book : oldTestamentBooks()) names.push_back(speech::lower(UnicodeString::fromUTF8(book)));
        return names;
    }();
    // No book name is longer than this; longer words need no case mapping.
    if (word.length() > 16) return false;
    return std::find(lowered.begin(), lowered.end(), speech::lower(word)) != lowered.end();
}

struct Patterns {
    std::unique_ptr<icu::RegexPattern> zachariah = speech::compilePattern("Zachariah", true);
    std::unique_ptr<icu::RegexPattern> chapterCommaVerse = speech::compilePattern("^\\d+,\\d+$", false);
    std::unique_ptr<icu::RegexPattern> threeOrFourDigits = speech::compilePattern("^\\d{3,4}$", false);
    std::unique_ptr<icu::RegexPattern> oneToThreeDigits = speech::compilePattern("^\\d{1,3}$", false);
    std::unique_ptr<icu::RegexPattern> commaVerse = speech::compilePattern("^,\\d{1,3}$", false);
    std::unique_ptr<icu::RegexPattern> digits = speech::compilePattern("^\\d+$", false);
};

const Patterns& patterns() {
    static const Patterns compiled;
    return compiled;
}

bool matches(const std::unique_ptr<icu::RegexPattern>& pattern, const UnicodeString& text) {
    return pattern && speech::hasMatch(*pattern, text);
}

// "2014" -> "20:14", "316" -> "3:16".
UnicodeString splitChapterVerse(const UnicodeString& word) {
    UnicodeString digits;
    for (std::int32_t i = 0; i < word.length(); i = word.moveIndex32(i, 1))
        if (u_isdigit(word.char32At(i))) digits.append(word.char32At(i));
    const std::int32_t n = digits.countChar32();
    if (n != 3 && n != 4) return {};
    const std::int32_t split = digits.moveIndex32(0, n == 3 ? 1 : 2);
    return UnicodeString(digits, 0, split) + u":" + UnicodeString(digits, split);
}

// Lower-cased text without punctuation and white space: what stays when refinement is undone.
UnicodeString refinementKey(std::string_view text) {
    const UnicodeString lowered = speech::lower(speech::toUnicode(text));
    UnicodeString key;
    for (std::int32_t i = 0; i < lowered.length(); i = lowered.moveIndex32(i, 1)) {
        const UChar32 c = lowered.char32At(i);
        if (!u_ispunct(c) && !u_isUWhiteSpace(c)) key.append(c);
    }
    return key;
}

const char* yesNo(bool value) { return value ? "true" : "false"; }

}  // namespace

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    forEachCharacterEnd(speech::toUnicode(text), [&](std::int32_t) {
        ++count;
        return true;
    });
    return count;
}

std::string firstCharacters(std::string_view text, std::size_t count) {
    const UnicodeString unicode = speech::toUnicode(text);
    std::int32_t cut = 0;
    std::size_t seen = 0;
    if (count > 0) {
        forEachCharacterEnd(unicode, [&](std::int32_t end) {
            cut = end;
            return ++seen < count;
        });
    }
    return speech::toUtf8(UnicodeString(unicode, 0, cut));
}

std::string displayText(std::string_view text, std::size_t limit) {
    UnicodeString unicode = speech::toUnicode(text);
    for (std::int32_t i = 0; i < unicode.length(); ++i) {
        const UChar c = unicode.charAt(i);
        if (u_charType(c) == U_CONTROL_CHAR || c == 0x2028 || c == 0x2029) unicode.setCharAt(i, u' ');
    }
    std::int32_t cut = -1;
    std::size_t seen = 0;
    forEachCharacterEnd(unicode, [&](std::int32_t end) {
        if (++seen <= limit) return true;
        cut = end;  // a character beyond the limit exists
        return false;
    });
    if (cut < 0) return speech::toUtf8(unicode);
    return firstCharacters(speech::toUtf8(unicode), limit) + "…";
}

bool isRefinementOf(std::string_view previous, std::string_view next) {
    if (previous == next) return false;
    const UnicodeString key = refinementKey(previous);
    return !key.isEmpty() && key == refinementKey(next);
}

std::string formatOldTestamentReferences(std::string_view input) {
    const Patterns& p = patterns();
    UnicodeString text = speech::toUnicode(input);
    if (p.zachariah) text = speech::replaceAll(*p.zachariah, text, u"Zechariah");

    std::vector<UnicodeString> words;
    for (std::int32_t start = 0; start <= text.length();) {
        std::int32_t space = text.indexOf(u' ', start);
        if (space < 0) space = text.length();
        if (space > start) words.emplace_back(text, start, space - start);
        start = space + 1;
    }

    auto isAnd = [](const UnicodeString& word) { return speech::lower(word) == u"and"; };
    std::vector<UnicodeString> pieces;
    std::size_t i = 0;
    while (i < words.size()) {
        const UnicodeString& w = words[i];
        if (!isBookName(w) || i + 1 >= words.size()) {
            pieces.push_back(w);
            ++i;
            continue;
        }
        const UnicodeString& x = words[i + 1];
        // "and" followed by a run of digits, at `at`.
        auto rangeEnd = [&](std::size_t at) -> const UnicodeString* {
            if (at + 1 < words.size() && isAnd(words[at]) && matches(p.digits, words[at + 1])) return &words[at + 1];
            return nullptr;
        };
        UnicodeString piece;
        std::size_t consumed = 0;
        if (matches(p.chapterCommaVerse, x) || matches(p.threeOrFourDigits, x)) {
            UnicodeString reference = x;
            if (matches(p.chapterCommaVerse, x))
                reference.findAndReplace(u",", u":");
            else
                reference = splitChapterVerse(x);
            piece = w + u" " + reference;
            consumed = 2;
            if (const UnicodeString* end = rangeEnd(i + 2)) {
                piece += u"-" + *end;
                consumed = 4;
            }
        } else if (matches(p.oneToThreeDigits, x)) {
            piece = w + u" " + x;
            consumed = 2;
            if (i + 2 < words.size()) {
                const UnicodeString& y = words[i + 2];
                if (matches(p.commaVerse, y)) {
                    piece += u":" + UnicodeString(y, 1);
                    consumed = 3;
                } else if (matches(p.oneToThreeDigits, y)) {
                    piece += u":" + y;
                    consumed = 3;
                }
            }
            if (const UnicodeString* end = rangeEnd(i + consumed)) {
                piece += (piece.indexOf(u':') >= 0 ? u"-" : u":") + *end;
                consumed += 2;
            }
        } else {
            piece = w;
            consumed = 1;
        }
        pieces.push_back(piece);
        i += consumed;
    }

    UnicodeString joined;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (k > 0) joined += u' ';
        joined += pieces[k];
    }
    return speech::toUtf8(joined);
}

bool TranscriptModel::addTranscription(const std::string& text, bool isFinal) {
    core::Logger& log = services_.log;
    log.print("📝 TranscriptPanelView.addTranscription called - text: '", text, "', isFinal: ", yesNo(isFinal));

    // The session has corrected the text already; a second correction pass would run a
    // replacement over its own output ("pastor" -> "Pastor John" twice gives "Pastor John John").
    std::string processed = text;
    if (services_.useBiblicalTerms && services_.useBiblicalTerms()) {
        std::string formatted = formatOldTestamentReferences(processed);
        if (formatted != processed) {
            log.print("📝 ✨ Scripture reference formatting applied: '", processed, "' → '", formatted, "'");
            processed = std::move(formatted);
        }
    }
    if (processed != text && !text.empty())
        log.print("📝 ✨ Text correction applied: '", text, "' → '", processed, "'");

    if (processed.empty()) {
        if (!entries_.empty() && !entries_.back().isFinal) {
            entries_.pop_back();
            log.line("📝 Removed partial entry due to empty text");
        }
        return true;
    }

    bool redraw = true;
    if (!isFinal) {
        redraw = addPartial(processed);
    } else if (!addFinal(processed)) {
        return false;  // an exact repeat changes nothing
    }

    while (entries_.size() > maxEntries) {
        entries_.pop_front();
        log.line("📝 Trimmed oldest entry to maintain max entries limit");
    }
    log.print("📝 Transcript entries count: ", entries_.size());
    std::string all;
    for (const auto& entry : entries_) {
        if (!all.empty()) all += ", ";
        all += entry.isFinal ? "FINAL" : "PARTIAL";
        all += ": '" + firstCharacters(entry.text, 50) + "...'";
    }
    log.print("📝 All entries: ", all);
    return redraw;
}

bool TranscriptModel::addPartial(const std::string& processed) {
    core::Logger& log = services_.log;
    const auto now = services_.now();
    if (entries_.empty() || entries_.back().isFinal) {
        entries_.push_back({processed, false, now});
        log.line("📝 Added new partial transcription");
        return true;
    }
    TranscriptEntry& last = entries_.back();
    const std::size_t n = characterCount(processed);
    const std::size_t m = characterCount(last.text);
    if (n < m / 3 && !processed.starts_with(firstCharacters(last.text, std::min<std::size_t>(m, 10)))) {
        last.isFinal = true;
        entries_.push_back({processed, false, now});
        log.line("📝 Detected new speech session - converted previous partial to final and added new partial");
        return true;
    }
    const std::size_t d = n > m ? n - m : m - n;
    const bool significant = d >= 4 || !processed.starts_with(firstCharacters(last.text, std::min(n, m)));
    last = {processed, false, now};
    log.line("📝 Updated existing partial transcription");
    if (d < 2 && !significant) {
        log.line("📝 Skipping display update for minor change");
        return false;
    }
    return true;
}

bool TranscriptModel::addFinal(const std::string& processed) {
    core::Logger& log = services_.log;
    // The session sends a final a second time when the punctuation pass changed it; the
    // refined text takes the first one's place instead of becoming a second line.
    if (TranscriptEntry* previous = refinableFinal(); previous && isRefinementOf(previous->text, processed)) {
        previous->text = processed;
        previous->refined = true;
        log.line("📝 Replaced final transcription with its refined text");
        return true;
    }
    if (!entries_.empty() && entries_.back().isFinal && entries_.back().text == processed) {
        log.line("📝 Skipping duplicate final transcription");
        return false;
    }
    if (!entries_.empty() && !entries_.back().isFinal) {
        entries_.back() = {processed, true, services_.now()};
        log.line("📝 Converted partial to final transcription - previous finals preserved");
    } else {
        entries_.push_back({processed, true, services_.now()});
        log.line("📝 Added new final transcription - all previous finals preserved");
    }
    return true;
}

// The newest final, when no refinement has replaced it yet; a partial of the next sentence may
// already follow it.
TranscriptEntry* TranscriptModel::refinableFinal() {
    if (entries_.empty()) return nullptr;
    auto it = entries_.end() - 1;
    if (!it->isFinal) {
        if (it == entries_.begin()) return nullptr;
        --it;
    }
    return it->refined ? nullptr : &*it;
}

}  // namespace lumeno::transcript
