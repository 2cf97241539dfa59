#pragma once

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Small ICU helpers shared by the correction engine, the reference formatter and the
// punctuation pass. Everything here is stateless or immutable. Thread: any.
namespace lumeno::speech {

// Ill-formed UTF-8 becomes U+FFFD, so bytes from the recogniser or a pipe never break a pass.
icu::UnicodeString toUnicode(std::string_view utf8);
std::string toUtf8(const icu::UnicodeString& text);
// The input itself when it is well-formed UTF-8, otherwise its repaired copy.
std::string sanitizeUtf8(std::string_view utf8);

// Case mappings in the root locale: results do not depend on the machine's language.
icu::UnicodeString upper(const icu::UnicodeString& text);
icu::UnicodeString lower(const icu::UnicodeString& text);
// The first user-perceived character upper-cased, the rest unchanged.
icu::UnicodeString upperFirst(const icu::UnicodeString& text);
// Number of user-perceived characters (grapheme clusters).
std::int32_t graphemeCount(const icu::UnicodeString& text);

bool isWordCharacter(UChar32 c);  // \w of the pattern syntax
icu::UnicodeString trimWhitespace(const icu::UnicodeString& text);  // white space and line breaks
icu::UnicodeString trimSpacesAndTabs(const icu::UnicodeString& text);

// Null when the pattern does not compile.
std::unique_ptr<icu::RegexPattern> compilePattern(const icu::UnicodeString& pattern, bool caseInsensitive);
// Quotes every ASCII punctuation character so that the text matches itself only.
icu::UnicodeString escapeForPattern(const icu::UnicodeString& literal);

// One capture group of a match; start is -1 when the group did not take part.
struct Group {
    std::int32_t start = -1;
    std::int32_t end = -1;
    icu::UnicodeString text;
};

// One match with its capture groups, copied out when it was found.
struct Match {
    std::int32_t start = 0;
    std::int32_t end = 0;
    std::vector<Group> groups;  // [0] is the whole match

    // A group that did not take part reads as the empty string.
    const icu::UnicodeString& group(std::size_t n) const;
    bool took(std::size_t n) const { return n < groups.size() && groups[n].start >= 0; }
};

// Every non-overlapping match, left to right.
std::vector<Match> findAll(const icu::RegexPattern& pattern, const icu::UnicodeString& text);
bool hasMatch(const icu::RegexPattern& pattern, const icu::UnicodeString& text);

// Rewrites the matches from last to first, so the ranges still to come stay valid while the
// text changes. `rewrite(match)` returns the replacement or nothing to leave that match alone.
// Returns whether anything was replaced.
template <typename Rewrite>
bool rewriteMatches(const icu::RegexPattern& pattern, icu::UnicodeString& text, Rewrite&& rewrite) {
    const std::vector<Match> matches = findAll(pattern, text);
    bool changed = false;
    for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
        if (std::optional<icu::UnicodeString> replacement = rewrite(*it)) {
            text.replace(it->start, it->end - it->start, *replacement);
            changed = true;
        }
    }
    return changed;
}

// Replaces every match by `replacement`, where "$1" names a capture group.
icu::UnicodeString replaceAll(const icu::RegexPattern& pattern, const icu::UnicodeString& text,
                              const icu::UnicodeString& replacement);

// A cheap, exact pre-check before running a pattern: on pure ASCII text, a case-insensitive
// match of an ASCII literal can only exist where the lower-cased literal occurs in the
// lower-cased text. On other text every check passes, since full case folding ("ß" and "ss",
// the Kelvin sign and "k") can match text the ASCII view cannot see.
class AsciiPrefilter {
public:
    explicit AsciiPrefilter(const icu::UnicodeString& text);
    bool mayContain(std::string_view lowerAsciiLiteral) const {
        return !ascii_ || lowered_.find(lowerAsciiLiteral) != std::string::npos;
    }
    bool mayContainAnyOf(std::string_view characters) const {
        return !ascii_ || lowered_.find_first_of(characters) != std::string::npos;
    }
    bool ascii() const { return ascii_; }
    // The lower-cased text; empty unless ascii().
    const std::string& lowered() const { return lowered_; }

private:
    bool ascii_ = true;
    std::string lowered_;
};

// The literal's ASCII lower-case form, or nothing when it has other characters.
std::optional<std::string> asciiLowerLiteral(const icu::UnicodeString& literal);

}  // namespace lumeno::speech
