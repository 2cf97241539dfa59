#include "speech/punctuation.h"

#include <memory>
#include <vector>

#include "speech/icu_text.h"

namespace lumeno::speech {

using icu::UnicodeString;

namespace {

struct Rewrite {
    std::unique_ptr<icu::RegexPattern> pattern;
    UnicodeString replacement;
};

struct Rules {
    std::vector<std::unique_ptr<icu::RegexPattern>> questions;
    std::vector<Rewrite> commas;
    std::vector<Rewrite> breaks;
    std::vector<std::unique_ptr<icu::RegexPattern>> capitals;
};

constexpr const char16_t* kRunOnConjunctions[] = {u" and ",     u" but ",    u" because ", u" so ",
                                                  u" then ",    u" however ", u" therefore "};
constexpr std::int32_t kLongSentence = 80;  // user-perceived characters

Rules buildRules() {
    Rules rules;
    for (const char16_t* pattern : {
             uR"(\b(what|who|when|where|why|how|which|whose|whom)\b)",
             uR"(\b(do|does|did|will|would|could|should|can|may|might|is|are|was|were|have|has|had)\s+\w+)",
             uR"(\b(right|okay|correct|true)\s*$)",
         })
        rules.questions.push_back(compilePattern(UnicodeString(pattern), true));

    auto rewrite = [](const char16_t* pattern, const char16_t* replacement) {
        return Rewrite{compilePattern(UnicodeString(pattern), true), UnicodeString(replacement)};
    };
    rules.commas.push_back(rewrite(uR"(\b(however|therefore|furthermore|moreover|meanwhile|consequently)\s+)", u"$1, "));
    rules.commas.push_back(rewrite(uR"(\b(yes|no|well|actually|basically|obviously|clearly)\s+)", u"$1, "));
    rules.commas.push_back(rewrite(uR"(\b(first|second|third|finally|lastly|next|then)\s+)", u"$1, "));
    // "At least 20 more characters on the line": the look-ahead asks for exactly 20, which holds
    // exactly when 20 or more do, without scanning to the end of the line at every position.
    rules.commas.push_back(rewrite(uR"((?=.{20})(\w+)\s+(and|but|or|yet|so)\s+(\w{4,}))", u"$1, $2 $3"));

    rules.breaks.push_back(rewrite(
        uR"(\b(yesterday|today|tomorrow|monday|tuesday|wednesday|thursday|friday|saturday|sunday)\s+(\w+\s+\w+))",
        u"$1. $2"));
    rules.breaks.push_back(rewrite(uR"(\b(in conclusion|to summarize|moving on|next topic|another point)\s+)", u"$1. "));

    for (const char16_t* pattern : {uR"((?<=\. )(\w))", uR"((?<=\? )(\w))", uR"((?<=! )(\w))"})
        rules.capitals.push_back(compilePattern(UnicodeString(pattern), false));
    return rules;
}

const Rules& rules() {
    static const Rules built = buildRules();
    return built;
}

bool endsWithMark(const UnicodeString& text) {
    if (text.isEmpty()) return false;
    const char16_t last = text.charAt(text.length() - 1);
    return last == u'.' || last == u'!' || last == u'?';
}

bool containsAnyOf(const UnicodeString& text, const char16_t* characters) {
    for (const char16_t* c = characters; *c; ++c)
        if (text.indexOf(*c) >= 0) return true;
    return false;
}

// Splits at every occurrence of `separator`; the separator itself is dropped.
std::vector<UnicodeString> splitAt(const UnicodeString& text, const UnicodeString& separator) {
    std::vector<UnicodeString> pieces;
    std::int32_t start = 0;
    for (std::int32_t at; (at = text.indexOf(separator, start)) >= 0; start = at + separator.length())
        pieces.emplace_back(text, start, at - start);
    pieces.emplace_back(text, start, text.length() - start);
    return pieces;
}

// A long sentence without any punctuation becomes comma-separated clauses at its conjunctions.
UnicodeString splitRunOn(const UnicodeString& text) {
    std::vector<UnicodeString> parts{text};
    for (const char16_t* conjunction : kRunOnConjunctions) {
        const UnicodeString separator(conjunction);
        std::vector<UnicodeString> next;
        for (const UnicodeString& part : parts) {
            std::vector<UnicodeString> pieces = splitAt(part, separator);
            if (pieces.size() == 1) {
                next.push_back(part);
                continue;
            }
            for (const UnicodeString& piece : pieces) next.push_back(trimSpacesAndTabs(piece));
        }
        parts = std::move(next);
    }
    UnicodeString joined;
    for (const UnicodeString& part : parts) {
        const UnicodeString trimmed = trimSpacesAndTabs(part);
        if (trimmed.isEmpty()) continue;
        if (!joined.isEmpty()) joined.append(u", ");
        joined.append(trimmed);
    }
    return joined;
}

UnicodeString detectQuestion(const UnicodeString& sentence) {
    if (endsWithMark(sentence)) return sentence;
    for (const auto& pattern : rules().questions) {
        if (pattern && hasMatch(*pattern, sentence)) return sentence + u"?";
    }
    return sentence;
}

UnicodeString capitalizeSentences(const UnicodeString& text) {
    UnicodeString result = upperFirst(text);
    for (const auto& pattern : rules().capitals) {
        if (!pattern) continue;
        rewriteMatches(*pattern, result, [](const Match& match) { return std::optional(upper(match.group(1))); });
    }
    return result;
}

UnicodeString refineSentence(const UnicodeString& text) {
    UnicodeString t = trimWhitespace(text);
    if (t.isEmpty()) return t;
    t = detectQuestion(t);
    for (const Rewrite& rule : rules().commas)
        if (rule.pattern) t = replaceAll(*rule.pattern, t, rule.replacement);
    for (const Rewrite& rule : rules().breaks)
        if (rule.pattern) t = replaceAll(*rule.pattern, t, rule.replacement);
    t = capitalizeSentences(t);
    if (!endsWithMark(t) && !containsAnyOf(t, u",.?!") && graphemeCount(t) > kLongSentence) t = splitRunOn(t);
    if (!endsWithMark(t)) t.append(u'.');
    return t;
}

}  // namespace

std::string refineSentence(std::string_view text) { return toUtf8(refineSentence(toUnicode(text))); }
std::string detectQuestion(std::string_view sentence) { return toUtf8(detectQuestion(toUnicode(sentence))); }
std::string capitalizeSentences(std::string_view text) { return toUtf8(capitalizeSentences(toUnicode(text))); }

}  // namespace lumeno::speech
