#include "speech/scripture_formatter.h"

#include <unicode/uchar.h>

#include <array>
#include <charconv>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "speech/icu_text.h"

namespace lumeno::speech {

using icu::UnicodeString;

namespace {

constexpr std::array kBooks = std::to_array<BookName>({
    {"genesis", "Genesis"},         {"exodus", "Exodus"},
    {"leviticus", "Leviticus"},     {"numbers", "Numbers"},
    {"deuteronomy", "Deuteronomy"}, {"joshua", "Joshua"},
    {"judges", "Judges"},           {"ruth", "Ruth"},
    {"samuel", "Samuel"},           {"kings", "Kings"},
    {"chronicles", "Chronicles"},   {"ezra", "Ezra"},
    {"nehemiah", "Nehemiah"},       {"esther", "Esther"},
    {"job", "Job"},                 {"psalm", "Psalm"},
    {"psalms", "Psalm"},            {"proverbs", "Proverbs"},
    {"ecclesiastes", "Ecclesiastes"}, {"isaiah", "Isaiah"},
    {"jeremiah", "Jeremiah"},       {"lamentations", "Lamentations"},
    {"ezekiel", "Ezekiel"},         {"daniel", "Daniel"},
    {"hosea", "Hosea"},             {"joel", "Joel"},
    {"amos", "Amos"},               {"obadiah", "Obadiah"},
    {"jonah", "Jonah"},             {"micah", "Micah"},
    {"nahum", "Nahum"},             {"habakkuk", "Habakkuk"},
    {"zephaniah", "Zephaniah"},     {"haggai", "Haggai"},
    {"zechariah", "Zechariah"},     {"zachariah", "Zechariah"},
    {"malachi", "Malachi"},         {"matthew", "Matthew"},
    {"mark", "Mark"},               {"luke", "Luke"},
    {"john", "John"},               {"acts", "Acts"},
    {"romans", "Romans"},           {"corinthians", "Corinthians"},
    {"galatians", "Galatians"},     {"ephesians", "Ephesians"},
    {"philippians", "Philippians"}, {"colossians", "Colossians"},
    {"thessalonians", "Thessalonians"}, {"timothy", "Timothy"},
    {"titus", "Titus"},             {"philemon", "Philemon"},
    {"hebrews", "Hebrews"},         {"james", "James"},
    {"peter", "Peter"},             {"jude", "Jude"},
    {"revelation", "Revelation"},   {"revelations", "Revelation"},
});
static_assert(kBooks.size() == 58);

struct Ordinal {
    const char* word;
    const char* digit;
};
constexpr Ordinal kOrdinals[] = {{"first", "1"}, {"1st", "1"}, {"second", "2"},
                                 {"2nd", "2"},   {"third", "3"}, {"3rd", "3"}};
constexpr const char* kNumberedBookWords[] = {"john",          "peter",  "timothy", "corinthians",
                                              "thessalonians", "samuel", "kings",   "chronicles"};

struct NumberWord {
    std::string_view word;
    std::int64_t value;
};
constexpr NumberWord kUnits[] = {
    {"zero", 0},      {"one", 1},        {"two", 2},          {"three", 3},      {"four", 4},
    {"five", 5},      {"six", 6},        {"seven", 7},        {"eight", 8},      {"nine", 9},
    {"ten", 10},      {"eleven", 11},    {"twelve", 12},      {"thirteen", 13},  {"fourteen", 14},
    {"fifteen", 15},  {"sixteen", 16},   {"seventeen", 17},   {"eighteen", 18},  {"nineteen", 19},
};
constexpr NumberWord kTens[] = {{"twenty", 20}, {"thirty", 30},  {"forty", 40},  {"fifty", 50},
                                {"sixty", 60},  {"seventy", 70}, {"eighty", 80}, {"ninety", 90}};

template <std::size_t N>
std::optional<std::int64_t> lookUp(const NumberWord (&table)[N], std::string_view word) {
    for (const NumberWord& entry : table)
        if (entry.word == word) return entry.value;
    return std::nullopt;
}

std::optional<std::int64_t> digitRun(std::string_view piece) {
    if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
    if (piece.empty()) return std::nullopt;
    for (char c : piece)
        if (c < '0' || c > '9') return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (error != std::errc() || end != piece.data() + piece.size()) return std::nullopt;  // too large
    return value;
}

std::optional<UnicodeString> book(const UnicodeString& word) {
    if (auto name = scriptureBookName(toUtf8(word))) return toUnicode(*name);
    return std::nullopt;
}

// A run of decimal digits (any script) split into the chapter (all but the last two) and the
// two-digit verse, with the verse's value.
struct ChapterVerse {
    UnicodeString chapter;
    UnicodeString verse;
    int verseValue = 0;
};

ChapterVerse splitRunTogether(const UnicodeString& digits) {
    const std::int32_t verseStart = digits.moveIndex32(digits.length(), -2);
    ChapterVerse split{UnicodeString(digits, 0, verseStart), UnicodeString(digits, verseStart), 0};
    for (std::int32_t i = verseStart; i < digits.length(); i = digits.moveIndex32(i, 1))
        split.verseValue = split.verseValue * 10 + u_charDigitValue(digits.char32At(i));
    return split;
}

int decimalValue(const UnicodeString& digits) {
    int value = 0;
    for (std::int32_t i = 0; i < digits.length(); i = digits.moveIndex32(i, 1))
        value = value * 10 + u_charDigitValue(digits.char32At(i));
    return value;
}

bool isVerse(int value) { return value >= 1 && value <= 176; }

std::vector<UnicodeString> splitOnSpaces(const UnicodeString& text) {
    std::vector<UnicodeString> pieces;
    std::int32_t start = 0;
    while (start <= text.length()) {
        std::int32_t space = text.indexOf(u' ', start);
        if (space < 0) space = text.length();
        if (space > start) pieces.emplace_back(text, start, space - start);
        start = space + 1;
    }
    return pieces;
}

UnicodeString number(std::int64_t value) { return toUnicode(std::to_string(value)); }

using Rewrite = std::function<std::optional<UnicodeString>(const Match&)>;

// Where a stage can change the text at all. Every stage rewrites only at a book name, and
// stages 1 to 7 only at a book name followed by white space and a digit, so a stage whose
// condition is absent would find matches and leave them all unchanged.
struct BookSightings {
    bool book = true;
    bool bookBeforeDigit = true;
};

bool isAsciiLetter(char c) { return c >= 'a' && c <= 'z'; }
bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// Scans the letter runs of ASCII text. On other text a letter class can match letters outside
// ASCII under case folding, and \d and \s reach beyond it, so every stage runs.
BookSightings sightBooks(const AsciiPrefilter& text) {
    if (!text.ascii()) return {};
    static const std::set<std::string, std::less<>> keys = [] {
        std::set<std::string, std::less<>> set;
        for (const BookName& entry : kBooks) set.emplace(entry.spoken);
        return set;
    }();
    BookSightings seen{false, false};
    const std::string_view t = text.lowered();
    for (std::size_t i = 0; i < t.size();) {
        if (!isAsciiLetter(t[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < t.size() && isAsciiLetter(t[end])) ++end;
        if (keys.find(t.substr(i, end - i)) != keys.end()) {
            seen.book = true;
            std::size_t next = end;
            while (next < t.size() && isAsciiSpace(t[next])) ++next;
            if (next > end && next < t.size() && isAsciiDigit(t[next])) {
                seen.bookBeforeDigit = true;
                break;
            }
        }
        i = end;
    }
    return seen;
}

struct Stage {
    std::unique_ptr<icu::RegexPattern> pattern;
    Rewrite rewrite;
    bool needsNumber;                   // a book followed by digits, or any book
    std::vector<std::string> literals;  // on ASCII text, none of its matches can lack these

    bool mayChange(const AsciiPrefilter& text, const BookSightings& books) const {
        if (!(needsNumber ? books.bookBeforeDigit : books.book)) return false;
        for (const std::string& literal : literals)
            if (!text.mayContain(literal)) return false;
        return true;
    }
};

struct OrdinalRule {
    std::unique_ptr<icu::RegexPattern> pattern;
    std::string ordinal;
    std::string bookWord;
    UnicodeString replacement;  // "1 John"
};

struct Pipeline {
    std::vector<OrdinalRule> ordinals;  // stage 0
    std::vector<Stage> stages;          // stages 1 to 8
};

// Stage 8: a book followed by a spoken reference: "john three sixteen", "psalm twenty three",
// "matthew twenty eight nineteen", "john chapter three verse sixteen", "romans eight twenty
// eight and twenty nine". Numbers are read greedily, so a chapter of two words ("twenty
// eight") comes before its verse.
constexpr const char16_t* kReferenceWords =
    u"[a-z]+-[a-z]+(?:-[a-z]+)*|chapter|verses?|and|to|through|zero|one|two|three|four|five|six|seven|eight|nine|ten|eleven|twelve|"
    u"thirteen|fourteen|fifteen|sixteen|seventeen|eighteen|nineteen|twenty|thirty|forty|fifty|sixty|seventy|"
    u"eighty|ninety|hundred";

struct Token {
    std::int32_t start = 0;  // in the text after the book
    std::int32_t end = 0;
    std::string word;  // lower case
};

// One number of the reference, starting at tokens[at]: its value and how many tokens it took.
std::optional<std::pair<std::int64_t, std::size_t>> readNumber(const std::vector<Token>& tokens, std::size_t at) {
    auto word = [&](std::size_t i) -> std::string_view { return i < tokens.size() ? tokens[i].word : std::string_view(); };
    if (word(at).find('-') != std::string_view::npos) {
        if (const auto value = parseNumberWords(word(at))) return std::pair{*value, std::size_t{1}};
        return std::nullopt;
    }
    if (const auto tens = lookUp(kTens, word(at))) {
        if (const auto unit = lookUp(kUnits, word(at + 1)); unit && *unit >= 1 && *unit <= 9)
            return std::pair{*tens + *unit, std::size_t{2}};
        return std::pair{*tens, std::size_t{1}};
    }
    const auto unit = lookUp(kUnits, word(at));
    if (!unit) return std::nullopt;
    if (*unit >= 1 && *unit <= 9 && word(at + 1) == "hundred") {
        std::size_t used = 2;
        std::int64_t value = *unit * 100;
        if (word(at + used) == "and" && (lookUp(kUnits, word(at + used + 1)) || lookUp(kTens, word(at + used + 1))))
            ++used;
        if (const auto rest = readNumber(tokens, at + used); rest && rest->first < 100 && rest->first > 0) {
            value += rest->first;
            used += rest->second;
        }
        return std::pair{value, used};
    }
    return std::pair{*unit, std::size_t{1}};
}

std::optional<UnicodeString> rewriteSpokenReference(const Match& match) {
    const UnicodeString key = trimSpacesAndTabs(lower(match.group(1)));
    const std::vector<UnicodeString> parts = splitOnSpaces(key);
    std::optional<UnicodeString> name;
    if (parts.size() == 2) {
        if (auto found = book(parts[1])) name = parts[0] + u" " + *found;
    } else {
        name = book(key);
    }
    if (!name) return std::nullopt;

    const UnicodeString& rest = match.group(2);
    std::vector<Token> tokens;
    for (std::int32_t i = 0; i < rest.length();) {
        while (i < rest.length() && !u_isalpha(rest.char32At(i)) && rest.charAt(i) != u'-') ++i;
        const std::int32_t start = i;
        while (i < rest.length() && (u_isalpha(rest.char32At(i)) || rest.charAt(i) == u'-')) ++i;
        if (i > start) tokens.push_back({start, i, toUtf8(lower(UnicodeString(rest, start, i - start)))});
    }
    std::size_t at = 0;
    if (at < tokens.size() && tokens[at].word == "chapter") ++at;
    const auto chapter = readNumber(tokens, at);
    // The reference is the book followed directly by a number: "John said three" stays, and in
    // "Mark two things" the word that is not a number stays in the text.
    if (!chapter || chapter->first < 1) return std::nullopt;
    at += chapter->second;
    UnicodeString reference = *name + u" " + number(chapter->first);
    std::size_t verseAt = at;
    if (verseAt < tokens.size() && (tokens[verseAt].word == "verse" || tokens[verseAt].word == "verses")) ++verseAt;
    if (const auto verse = readNumber(tokens, verseAt); verse && isVerse(static_cast<int>(verse->first))) {
        at = verseAt + verse->second;
        reference += u":" + number(verse->first);
        const std::string joiner = at < tokens.size() ? tokens[at].word : "";
        if (joiner == "and" || joiner == "to" || joiner == "through") {
            if (const auto last = readNumber(tokens, at + 1);
                last && last->first > verse->first && isVerse(static_cast<int>(last->first))) {
                at += 1 + last->second;
                reference += u"-" + number(last->first);
            }
        }
    }
    const std::int32_t consumed = tokens[at - 1].end;
    reference.append(rest, consumed, rest.length() - consumed);
    return reference;
}

Pipeline buildPipeline() {
    Pipeline pipeline;
    for (const Ordinal& ordinal : kOrdinals) {
        for (const char* word : kNumberedBookWords) {
            const UnicodeString pattern = u"\\b" + escapeForPattern(toUnicode(ordinal.word)) + u"\\s+" +
                                          escapeForPattern(toUnicode(word)) + u"\\b";
            pipeline.ordinals.push_back({compilePattern(pattern, true), ordinal.word, word,
                                         toUnicode(ordinal.digit) + u" " + *book(toUnicode(word))});
        }
    }

    auto stage = [&](const char16_t* pattern, bool caseInsensitive, bool needsNumber, std::vector<std::string> literals,
                     Rewrite rewrite) {
        pipeline.stages.push_back(
            {compilePattern(UnicodeString(pattern), caseInsensitive), std::move(rewrite), needsNumber, std::move(literals)});
    };

    // 1: chapter and verse with a comma.
    stage(uR"(\b([123]\s+)?([A-Za-z]+)\s+(\d{1,3}),(\d{1,3})\b)", true, true, {","},
          [](const Match& m) -> std::optional<UnicodeString> {
              const auto name = book(m.group(2));
              if (!name) return std::nullopt;
              return m.group(1) + *name + u" " + m.group(3) + u":" + m.group(4);
          });
    // 2: run-together chapter and verse.
    stage(uR"(\b([123]\s+)?([A-Za-z]+)\s+(\d{3,4})\b)", true, true, {},
          [](const Match& m) -> std::optional<UnicodeString> {
              const auto name = book(m.group(2));
              if (!name) return std::nullopt;
              const ChapterVerse split = splitRunTogether(m.group(3));
              if (!isVerse(split.verseValue)) return std::nullopt;
              return m.group(1) + *name + u" " + split.chapter + u":" + split.verse;
          });
    // 3: a verse pair joined by "and".
    stage(uR"(\b([123]\s+)?([A-Za-z]+)\s+(\d{1,3}):(\d{1,3})\s+and\s+(\d{1,3})\b)", true, true, {":", "and"},
          [](const Match& m) -> std::optional<UnicodeString> {
              const auto name = book(m.group(2));
              if (!name) return std::nullopt;
              return m.group(1) + *name + u" " + m.group(3) + u":" + m.group(4) + u"-" + m.group(5);
          });
    // 4: run-together chapter and verse followed by "and".
    stage(uR"(\b([123]\s+)?([A-Za-z]+)\s+(\d{3,4})\s+and\s+(\d{1,3})\b)", true, true, {"and"},
          [](const Match& m) -> std::optional<UnicodeString> {
              const auto name = book(m.group(2));
              if (!name) return std::nullopt;
              const ChapterVerse split = splitRunTogether(m.group(3));
              if (!isVerse(split.verseValue) || !isVerse(decimalValue(m.group(4)))) return std::nullopt;
              return m.group(1) + *name + u" " + split.chapter + u":" + split.verse + u"-" + m.group(4);
          });
    // 5: loose chapter and verse followed by "and".
    stage(uR"(\b([123]\s+)?([A-Za-z]+)\s+(\d{1,3})\s+(\d{1,3})\s+and\s+(\d{1,3})\b)", true, true, {"and"},
          [](const Match& m) -> std::optional<UnicodeString> {
              const auto name = book(m.group(2));
              if (!name) return std::nullopt;
              return m.group(1) + *name + u" " + m.group(3) + u":" + m.group(4) + u"-" + m.group(5);
          });
    // 6: psalm numbers of three or more digits.
    stage(uR"(\b(psalm|psalms)\s+(\d{3,})\b)", true, true, {"psalm"},
          [](const Match& m) -> std::optional<UnicodeString> {
              const UnicodeString name = book(m.group(1)).value_or(upperFirst(lower(m.group(1))));
              const ChapterVerse split = splitRunTogether(m.group(2));
              return name + u" " + split.chapter + u":" + split.verse;
          });
    // 7: loose chapter and verse; the letter class already covers both cases.
    stage(uR"(\b([123]\s+)?([A-Za-z]+)\s+(\d{1,3})\s+(\d{1,3})\b)", false, true, {},
          [](const Match& m) -> std::optional<UnicodeString> {
              const auto name = book(m.group(2));
              if (!name) return std::nullopt;
              return m.group(1) + *name + u" " + m.group(3) + u":" + m.group(4);
          });
    // 8: number words. Matches start only at a book word, so a word before a book never hides
    // its reference ("read John three sixteen").
    UnicodeString books;
    for (const BookName& entry : kBooks) books += (books.isEmpty() ? u"" : u"|") + toUnicode(entry.spoken);
    const UnicodeString spoken = u"\\b((?:[123]\\s+)?(?:" + books + u"))((?:\\s+(?:" + UnicodeString(kReferenceWords) +
                                 u"))+)\\b";
    pipeline.stages.push_back({compilePattern(spoken, true), rewriteSpokenReference, false, {}});
    return pipeline;
}

const Pipeline& pipeline() {
    static const Pipeline built = buildPipeline();
    return built;
}

}  // namespace

std::span<const BookName> scriptureBookNames() { return kBooks; }

std::optional<std::string> scriptureBookName(std::string_view spoken) {
    static const std::map<std::string, std::string, std::less<>> byWord = [] {
        std::map<std::string, std::string, std::less<>> map;
        for (const BookName& entry : kBooks) map.emplace(entry.spoken, entry.written);
        return map;
    }();
    const std::string key = toUtf8(trimSpacesAndTabs(lower(toUnicode(spoken))));
    const auto it = byWord.find(key);
    if (it == byWord.end()) return std::nullopt;
    return it->second;
}

std::optional<std::int64_t> parseNumberWords(std::string_view word) {
    std::string text(word);
    for (char& c : text) {
        if (c == '-') c = ' ';
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t space = text.find(' ', start);
        if (space == std::string::npos) space = text.size();
        if (space > start) pieces.emplace_back(text.data() + start, space - start);
        start = space + 1;
    }

    if (pieces.size() == 1) {
        if (auto units = lookUp(kUnits, pieces[0])) return units;
        if (auto tens = lookUp(kTens, pieces[0])) return tens;
        return digitRun(pieces[0]);
    }
    if (pieces.size() == 2) {
        const auto p = pieces[0];
        const auto q = pieces[1];
        if (auto tens = lookUp(kTens, p)) {
            if (auto units = lookUp(kUnits, q)) return *tens + *units;
        }
        if (auto units = lookUp(kUnits, p)) {
            if (q == "hundred") return *units * 100;
            if (q == "thousand") return *units * 1000;
        }
        return std::nullopt;
    }
    if (pieces.size() == 3) {
        const auto p = pieces[0];
        const auto q = pieces[1];
        const auto r = pieces[2];
        if (auto units = lookUp(kUnits, p); units && q == "hundred") {
            if (auto rest = lookUp(kUnits, r)) return *units * 100 + *rest;
            if (auto rest = lookUp(kTens, r)) return *units * 100 + *rest;
        }
        if (auto tens = lookUp(kTens, p); tens && r == "hundred") {
            if (auto units = lookUp(kUnits, q)) return (*tens + *units) * 100;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

void formatScriptureReferences(UnicodeString& text) {
    const Pipeline& stages = pipeline();
    AsciiPrefilter filter(text);
    for (const OrdinalRule& rule : stages.ordinals) {
        if (!rule.pattern || !filter.mayContain(rule.ordinal) || !filter.mayContain(rule.bookWord)) continue;
        if (rewriteMatches(*rule.pattern, text, [&](const Match&) { return std::optional(rule.replacement); }))
            filter = AsciiPrefilter(text);
    }
    BookSightings books = sightBooks(filter);
    for (const Stage& stage : stages.stages) {
        if (!stage.pattern || !stage.mayChange(filter, books)) continue;
        if (rewriteMatches(*stage.pattern, text, stage.rewrite)) {
            filter = AsciiPrefilter(text);
            books = sightBooks(filter);
        }
    }
}

std::string formatScriptureReferences(std::string_view text) {
    UnicodeString unicode = toUnicode(text);
    formatScriptureReferences(unicode);
    return toUtf8(unicode);
}

}  // namespace lumeno::speech
