#pragma once

#include <unicode/unistr.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumeno::speech {

struct BookName {
    const char* spoken;   // one lower-case word; numbered books appear under their base word
    const char* written;
};

// The book words the formatter recognises, in table order.
std::span<const BookName> scriptureBookNames();
// The written name of a spoken book word, ignoring letter case and surrounding spaces and tabs.
std::optional<std::string> scriptureBookName(std::string_view spoken);

// Reads a spoken number: "three", "twenty-eight", "one hundred five", "twenty one hundred", or
// a run of digits. Nothing when the word is not one of those forms or does not fit.
std::optional<std::int64_t> parseNumberWords(std::string_view word);

// Rewrites spoken scripture references into written ones: "john three sixteen" -> "John 3:16",
// "first Corinthians 13 4" -> "1 Corinthians 13:4", "Romans 8 28 and 29" -> "Romans 8:28-29".
// A pure function whose patterns are compiled once. Thread: any.
std::string formatScriptureReferences(std::string_view text);
void formatScriptureReferences(icu::UnicodeString& text);

}  // namespace lumeno::speech
