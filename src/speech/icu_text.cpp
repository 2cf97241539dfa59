#include "speech/icu_text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/utf8.h>

namespace lumeno::speech {

using icu::UnicodeString;

UnicodeString toUnicode(std::string_view utf8) {
    return UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string toUtf8(const UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string sanitizeUtf8(std::string_view utf8) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const auto length = static_cast<std::int32_t>(utf8.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return toUtf8(toUnicode(utf8));
    }
    return std::string(utf8);
}

UnicodeString upper(const UnicodeString& text) {
    UnicodeString copy(text);
    return copy.toUpper(icu::Locale::getRoot());
}

UnicodeString lower(const UnicodeString& text) {
    UnicodeString copy(text);
    return copy.toLower(icu::Locale::getRoot());
}

namespace {

// Break iterators are not thread-safe and costly to create: one per thread, made on first use.
icu::BreakIterator* characterBreaks(const UnicodeString& text) {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) made.reset();
        return made;
    }();
    if (iterator) iterator->setText(text);
    return iterator.get();
}

// Length of the first grapheme cluster in UTF-16 units.
std::int32_t firstGraphemeLength(const UnicodeString& text) {
    if (text.isEmpty()) return 0;
    // Two ASCII units never join into one cluster except CR LF, whose case never changes.
    if (text.charAt(0) < 0x80 && (text.length() == 1 || text.charAt(1) < 0x80)) return 1;
    icu::BreakIterator* breaks = characterBreaks(text);
    if (!breaks) return text.moveIndex32(0, 1);
    const std::int32_t end = breaks->following(0);
    return end == icu::BreakIterator::DONE ? text.length() : end;
}

const icu::UnicodeSet& wordCharacters() {
    static const icu::UnicodeSet set = [] {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeSet made(
            UNICODE_STRING_SIMPLE("[\\p{Alphabetic}\\p{Mark}\\p{Decimal_Number}\\p{Connector_Punctuation}\\u200c\\u200d]"),
            status);
        made.freeze();
        return made;
    }();
    return set;
}

bool isSpaceOrTab(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

UnicodeString upperFirst(const UnicodeString& text) {
    const std::int32_t length = firstGraphemeLength(text);
    if (length == 0) return text;
    UnicodeString result = upper(UnicodeString(text, 0, length));
    result.append(text, length, text.length() - length);
    return result;
}

std::int32_t graphemeCount(const UnicodeString& text) {
    bool ascii = true;
    for (std::int32_t i = 0; i < text.length() && ascii; ++i) ascii = text.charAt(i) < 0x80;
    if (ascii) {
        std::int32_t count = text.length();
        for (std::int32_t i = 1; i < text.length(); ++i)
            if (text.charAt(i - 1) == u'\r' && text.charAt(i) == u'\n') --count;
        return count;
    }
    icu::BreakIterator* breaks = characterBreaks(text);
    if (!breaks) return text.countChar32();
    std::int32_t count = 0;
    for (std::int32_t at = breaks->first(); (at = breaks->next()) != icu::BreakIterator::DONE;) ++count;
    return count;
}

bool isWordCharacter(UChar32 c) { return wordCharacters().contains(c); }

UnicodeString trimWhitespace(const UnicodeString& text) {
    std::int32_t start = 0;
    std::int32_t end = text.length();
    while (start < end && u_isUWhiteSpace(text.char32At(start))) start = text.moveIndex32(start, 1);
    while (end > start) {
        const std::int32_t previous = text.moveIndex32(end, -1);
        if (!u_isUWhiteSpace(text.char32At(previous))) break;
        end = previous;
    }
    return UnicodeString(text, start, end - start);
}

UnicodeString trimSpacesAndTabs(const UnicodeString& text) {
    std::int32_t start = 0;
    std::int32_t end = text.length();
    while (start < end && isSpaceOrTab(text.charAt(start))) ++start;
    while (end > start && isSpaceOrTab(text.charAt(end - 1))) --end;
    return UnicodeString(text, start, end - start);
}

std::unique_ptr<icu::RegexPattern> compilePattern(const UnicodeString& pattern, bool caseInsensitive) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(pattern, caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, where, status));
    if (U_FAILURE(status)) return nullptr;
    return compiled;
}

UnicodeString escapeForPattern(const UnicodeString& literal) {
    UnicodeString escaped;
    for (std::int32_t i = 0; i < literal.length(); ++i) {
        const char16_t c = literal.charAt(i);
        // A backslash before any ASCII punctuation makes it literal; before a letter it would
        // start an escape such as \b, so letters, digits and space stay as they are.
        if (c < 0x80 && c > u' ' && !(c >= u'0' && c <= u'9') && !(c >= u'a' && c <= u'z') &&
            !(c >= u'A' && c <= u'Z') && c != 0x7f)
            escaped.append(u'\\');
        escaped.append(c);
    }
    return escaped;
}

const UnicodeString& Match::group(std::size_t n) const {
    static const UnicodeString empty;
    return took(n) ? groups[n].text : empty;
}

std::vector<Match> findAll(const icu::RegexPattern& pattern, const UnicodeString& text) {
    std::vector<Match> matches;
    UErrorCode status = U_ZERO_ERROR;
    // The matcher keeps a reference to `text`, which the caller owns and leaves alone meanwhile.
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
    if (U_FAILURE(status) || !matcher) return matches;
    const std::int32_t groupCount = matcher->groupCount();
    while (matcher->find(status) && U_SUCCESS(status)) {
        Match match;
        match.start = matcher->start(status);
        match.end = matcher->end(status);
        match.groups.resize(static_cast<std::size_t>(groupCount) + 1);
        for (std::int32_t g = 0; g <= groupCount; ++g) {
            const std::int32_t from = matcher->start(g, status);
            const std::int32_t to = matcher->end(g, status);
            if (U_SUCCESS(status) && from >= 0 && to >= from)
                match.groups[static_cast<std::size_t>(g)] = Group{from, to, UnicodeString(text, from, to - from)};
        }
        if (U_FAILURE(status)) break;  // a range that cannot be read counts as no match
        matches.push_back(std::move(match));
    }
    return matches;
}

bool hasMatch(const icu::RegexPattern& pattern, const UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
    return U_SUCCESS(status) && matcher && matcher->find(status) && U_SUCCESS(status);
}

UnicodeString replaceAll(const icu::RegexPattern& pattern, const UnicodeString& text, const UnicodeString& replacement) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
    if (U_FAILURE(status) || !matcher) return text;
    UnicodeString result = matcher->replaceAll(replacement, status);
    return U_SUCCESS(status) ? result : text;
}

AsciiPrefilter::AsciiPrefilter(const UnicodeString& text) {
    lowered_.reserve(static_cast<std::size_t>(text.length()));
    for (std::int32_t i = 0; i < text.length(); ++i) {
        const char16_t c = text.charAt(i);
        if (c >= 0x80) {
            ascii_ = false;
            lowered_.clear();
            return;
        }
        lowered_.push_back(static_cast<char>(c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c));
    }
}

std::optional<std::string> asciiLowerLiteral(const UnicodeString& literal) {
    std::string out;
    for (std::int32_t i = 0; i < literal.length(); ++i) {
        const char16_t c = literal.charAt(i);
        if (c >= 0x80) return std::nullopt;
        out.push_back(static_cast<char>(c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c));
    }
    return out;
}

}  // namespace lumeno::speech
