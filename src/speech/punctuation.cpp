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
    std::unique_ptr<icu::RegexPattern> tag;
    std::vector<Rewrite> commas;
    std::vector<Rewrite> breaks;
    std::vector<std::unique_ptr<icu::RegexPattern>> capitals;
};

constexpr const char16_t* kRunOnConjunctions[] = {u"and",  u"but",     u"because",  u"so",
                                                  u"then", u"however", u"therefore"};
constexpr std::int32_t kLongSentence = 80;  // user-perceived characters

// Where a sentence starts: the text's start or just after a closing mark. Cue words count only
// there, because inside a sentence the same words are ordinary words ("there is no doubt", "we
// are therefore justified", "on sunday morning").
#define START u"(?:^|(?<=[.?!]\\s))"
// Words a speaker may put before a question without making it a statement ("so why ...").
#define LEAD u"(?:(?:so|well|now|and|but|okay|oh|then|also|yes|no|actually|however)\\s+)?"
#define PERSON u"(?:i|you|he|she|we|they|anyone|anybody|someone|somebody|everyone|everybody)"
#define SUBJECT PERSON u"|it|this|that|these|those|there|the|a|an|your|my|his|her|our|their|any|god|jesus"
#define DAY u"(?:yesterday|today|tomorrow|tonight|monday|tuesday|wednesday|thursday|friday|saturday|sunday)"

// Words that, before a closing "right" or "okay", make it part of the statement ("that is
// right", "it will be okay") rather than a tag asking for agreement.
bool statesRatherThanAsks(const UnicodeString& word) {
    static const char16_t* const kWords[] = {
        u"is",   u"are",   u"was",  u"were",     u"am",      u"be",      u"been",     u"being", u"not",
        u"all",  u"so",    u"very", u"quite",    u"exactly", u"perfectly", u"completely", u"the", u"a",
        u"his",  u"her",   u"my",   u"your",     u"our",     u"their",   u"its",      u"feel",  u"feels",
        u"felt", u"seem",  u"seems", u"seemed",  u"look",    u"looks",   u"looked",   u"sound", u"sounds",
        u"turn", u"turned", u"out", u"absolutely", u"just",  u"do",      u"did",      u"does",  u"doing"};
    const UnicodeString lowered = lower(word);
    if (lowered.endsWith(UnicodeString(u"'s")) || lowered.endsWith(UnicodeString(u"'re")) ||
        lowered.endsWith(UnicodeString(u"’s")) || lowered.endsWith(UnicodeString(u"’re")))
        return true;
    for (const char16_t* w : kWords)
        if (lowered == UnicodeString(w)) return true;
    return false;
}

Rules buildRules() {
    Rules rules;
    // A question starts with a question word that asks (not "when we pray" or "what we need"),
    // or with an auxiliary before its subject (not "do this in remembrance", "may the lord").
    for (const char16_t* pattern : {
             u"^" LEAD u"(?:(?:why|whose|whom)\\b|(?:what|who|when|where|how|what\\s+(?!" PERSON u"\\b)\\w+)\\s+"
             u"(?:is|are|was|were|am|do|does|did|will|would|could|should|can|shall|may|might|have|has|had|"
             u"isn't|aren't|wasn't|don't|doesn't|didn't|won't|can't)\\b|how\\s+(?:many|much|long|often|far|come)\\b|"
             u"what\\s+(?:about|if)\\b|which\\s+(?:one|ones|way|of)\\b|(?:what|who|when|where|how)\\s*$)",
             u"^" LEAD u"(?:(?:is|are|was|were|will|would|could|should|can|shall|does|did|has|had|isn't|aren't|"
             u"wasn't|weren't|won't|wouldn't|couldn't|shouldn't|can't|doesn't|didn't|hasn't|hadn't)\\s+(?:" SUBJECT
             u")|(?:do|don't|have|haven't)\\s+" PERSON u"|(?:may|might)\\s+(?:i|we)|am\\s+i)\\b",
         })
        rules.questions.push_back(compilePattern(UnicodeString(pattern), true));
    rules.tag = compilePattern(UnicodeString(u"(\\S+)\\s+(?:right|okay|correct|true)\\s*$"), true);

    auto rewrite = [](const char16_t* pattern, const char16_t* replacement) {
        return Rewrite{compilePattern(UnicodeString(pattern), true), UnicodeString(replacement)};
    };
    rules.commas.push_back(rewrite(START u"(however|therefore|furthermore|moreover|meanwhile|consequently)\\s+", u"$1, "));
    rules.commas.push_back(rewrite(
        START u"(yes|actually|basically|obviously|clearly|(?:well|no)(?=\\s+(?:i|you|he|she|it|we|they|this|that|there|let|now|then|what|why|how|who|where|when)\\b))\\s+",
        u"$1, "));
    rules.commas.push_back(rewrite(
        START u"(first|second|third|finally|lastly|then|next(?!\\s+" DAY
        u"|\\s+(?:week|month|year|time|morning|evening|service)\\b))\\s+(?!of\\b)",
        u"$1, "));
    // Only "but" reliably joins two clauses; "and", "or", "so" and "yet" as often join two nouns
    // ("grace and peace") or qualify a word ("so much", "not yet"). "At least 20 more characters
    // on the line": the look-ahead asks for exactly 20, which holds exactly when 20 or more do.
    rules.commas.push_back(rewrite(uR"((?=.{20})(\w+)\s+(but)\s+(\w{4,}))", u"$1, $2 $3"));

    // "Today we study grace" opens with its time; "I saw him yesterday we talked" runs two
    // sentences together, unless the day is part of an opening phrase ("on sunday we gather").
    rules.breaks.push_back(rewrite(START u"(" DAY u")\\s+(?=\\w+\\s+\\w+)", u"$1, "));
    rules.breaks.push_back(rewrite(
        u"(?<!^)(?<!^(?:on|by|until|till|since|from|before|after|next|last|this|every|each|for)\\s)\\b(" DAY
        u")\\s+(?=(?:i|you|he|she|we|they)\\s+\\w+)",
        u"$1. "));
    rules.breaks.push_back(rewrite(uR"(\b(in conclusion|to summarize)\s+)", u"$1, "));
    rules.breaks.push_back(rewrite(START u"(moving on|next topic|another point)\\s+", u"$1. "));

    for (const char16_t* pattern : {uR"((?<=\. )(\w))", uR"((?<=\? )(\w))", uR"((?<=! )(\w))"})
        rules.capitals.push_back(compilePattern(UnicodeString(pattern), false));
    return rules;
}

#undef START
#undef LEAD
#undef PERSON
#undef SUBJECT
#undef DAY

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

// A long sentence without any punctuation gets a comma before each of its conjunctions, which
// stay: dropping "because" or "however" would change what the speaker said.
UnicodeString splitRunOn(const UnicodeString& text) {
    std::vector<UnicodeString> words;
    std::int32_t start = 0;
    for (std::int32_t i = 0; i <= text.length(); ++i) {
        if (i < text.length() && text.charAt(i) != u' ' && text.charAt(i) != u'\t') continue;
        if (i > start) words.emplace_back(text, start, i - start);
        start = i + 1;
    }
    auto isConjunction = [](const UnicodeString& word) {
        for (const char16_t* conjunction : kRunOnConjunctions)
            if (word == UnicodeString(conjunction)) return true;
        return false;
    };
    UnicodeString joined;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            if (isConjunction(words[i]) && !isConjunction(words[i - 1])) joined.append(u',');
            joined.append(u' ');
        }
        joined.append(words[i]);
    }
    return joined;
}

UnicodeString detectQuestion(const UnicodeString& sentence) {
    if (endsWithMark(sentence)) return sentence;
    for (const auto& pattern : rules().questions) {
        if (pattern && hasMatch(*pattern, sentence)) return sentence + u"?";
    }
    if (rules().tag) {
        const std::vector<Match> tags = findAll(*rules().tag, sentence);
        if (!tags.empty() && !statesRatherThanAsks(tags.back().group(1))) return sentence + u"?";
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
