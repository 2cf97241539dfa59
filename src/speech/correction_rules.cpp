#include "speech/correction_rules.h"

#include <unicode/uchar.h>

#include <algorithm>

#include "speech/icu_text.h"

namespace lumeno::speech {

using icu::UnicodeString;

namespace {

std::size_t wordCount(const std::string& key) {
    std::size_t words = 0;
    bool inWord = false;
    for (char c : key) {
        if (c == ' ') {
            inWord = false;
        } else if (!inWord) {
            inWord = true;
            ++words;
        }
    }
    return words;
}

}  // namespace

CorrectionRules::CorrectionRules(CorrectionMap map) : map_(std::move(map)) {
    std::vector<std::pair<const std::string*, const std::string*>> ordered;
    ordered.reserve(map_.size());
    for (const auto& [key, value] : map_) ordered.emplace_back(&key, &value);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return wordCount(*a.first) > wordCount(*b.first); });

    entries_.reserve(ordered.size());
    for (const auto& [key, value] : ordered) {
        const UnicodeString unicodeKey = toUnicode(*key);
        Entry entry{patternFor(unicodeKey), toUnicode(*value), nullptr, asciiLowerLiteral(unicodeKey)};
        // A blank key would match between every two words and spray its value through the text.
        if (!trimWhitespace(unicodeKey).isEmpty()) entry.compiled = compilePattern(entry.pattern, true);
        entries_.push_back(std::move(entry));
    }
}

UnicodeString CorrectionRules::patternFor(const UnicodeString& key) {
    if (key.isEmpty()) return {};
    // A word boundary next to a key's punctuation edge would demand a letter there, so "c++" or
    // "mr." would only match when glued to the following word; such an edge instead requires
    // that no word character touches it.
    const bool wordStart = isWordCharacter(key.char32At(0));
    const bool wordEnd = isWordCharacter(key.char32At(key.moveIndex32(key.length(), -1)));
    return UnicodeString(wordStart ? u"\\b" : u"(?<!\\w)") + escapeForPattern(key) +
           UnicodeString(wordEnd ? u"\\b" : u"(?!\\w)");
}

UnicodeString CorrectionRules::adaptCase(const UnicodeString& matched, const UnicodeString& value) {
    // Only text with a cased letter can be shouted: a matched "2" or "+1" keeps the value as written.
    if (matched == upper(matched) && matched != lower(matched)) return upper(value);
    if (matched.isEmpty()) return value;
    if (u_isUUppercase(matched.char32At(0))) return upperFirst(value);
    return value;
}

bool CorrectionRules::replaceAll(const icu::RegexPattern& pattern, const UnicodeString& value, UnicodeString& text,
                                 std::vector<Range>& produced, std::vector<AppliedCorrection>& applied) {
    const std::vector<Match> matches = findAll(pattern, text);
    bool changed = false;
    // Last to first, so the ranges still to come stay valid while the text changes.
    for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
        // Text an earlier key produced is never matched again: a replacement that contains
        // another key must not feed the next one (chains would grow the text without bound).
        const bool overlaps = std::any_of(produced.begin(), produced.end(), [&](const Range& r) {
            return it->start < r.end && r.start < it->end;
        });
        if (overlaps) continue;
        const UnicodeString& matched = it->group(0);
        UnicodeString replacement = adaptCase(matched, value);
        applied.push_back({toUtf8(matched), toUtf8(replacement)});
        const std::int32_t delta = replacement.length() - (it->end - it->start);
        text.replace(it->start, it->end - it->start, replacement);
        for (Range& r : produced)
            if (r.start >= it->end) {
                r.start += delta;
                r.end += delta;
            }
        produced.push_back({it->start, it->start + replacement.length()});
        changed = true;
    }
    return changed;
}

void CorrectionRules::apply(UnicodeString& text, std::vector<AppliedCorrection>& applied) const {
    AsciiPrefilter filter(text);
    std::vector<Range> produced;
    for (const Entry& entry : entries_) {
        if (!entry.compiled) continue;
        if (entry.asciiKey && !filter.mayContain(*entry.asciiKey)) continue;
        if (replaceAll(*entry.compiled, entry.value, text, produced, applied)) filter = AsciiPrefilter(text);
    }
}

void CorrectionRules::applyCompilingEachPass(UnicodeString& text, std::vector<AppliedCorrection>& applied) const {
    std::vector<Range> produced;
    for (const Entry& entry : entries_) {
        if (!entry.compiled) continue;  // blank keys stay skipped; a key that failed fails again
        const auto compiled = compilePattern(entry.pattern, true);
        if (!compiled) continue;
        replaceAll(*compiled, entry.value, text, produced, applied);
    }
}

}  // namespace lumeno::speech
