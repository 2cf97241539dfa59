#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumeno::speech {

// One word or name of the operator's vocabulary ("Pastor Okonkwo", "Grace Chapel"), with an
// optional pronunciation in the speech model's phones for a single word the generated one gets
// wrong ("N K EH CH IY"). Stored under "speechVocabulary" as a JSON list whose items are the
// text, or {"text": ..., "pronunciation": ...} when there is a pronunciation.
struct VocabularyEntry {
    std::string text;
    std::string pronunciation;  // empty: generated
    bool operator==(const VocabularyEntry&) const = default;
};

inline constexpr std::size_t kMaxVocabularyEntryLength = 64;  // characters

// The phones of the US English speech model, which a given pronunciation may use.
const std::vector<std::string>& speechModelPhones();

struct VocabularyCheck {
    std::optional<VocabularyEntry> entry;  // trimmed, the pronunciation in upper case without stress marks
    std::string error;                     // what is wrong, for the operator, when there is no entry
};
// Checks one entry as the operator typed it.
VocabularyCheck checkVocabularyEntry(std::string_view text, std::string_view pronunciation);

// The stored list. `problems` gets a line for each item that is not a valid entry (left out).
std::vector<VocabularyEntry> parseVocabulary(std::string_view json, std::vector<std::string>* problems = nullptr);
std::string serializeVocabulary(const std::vector<VocabularyEntry>& entries);
// For a value typed on the command line: what is wrong with it, or empty when it is a list of
// valid entries.
std::string vocabularySettingError(std::string_view json);

// The entry's words as the recogniser's dictionary writes them: lower case, split at anything
// that is neither a letter nor an apostrophe.
std::vector<std::string> vocabularyWords(std::string_view text);

}  // namespace lumeno::speech
