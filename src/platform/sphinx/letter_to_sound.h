#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumeno::platform {

// Pronunciations for words the dictionary lacks: festival's letter-to-sound trees for the CMU
// lexicon (one decision tree per letter, asking about up to three letters either side), read
// from their Scheme file and walked here, with the phones written as the US English acoustic
// model names them ("EH N K EH CH IY"). Immutable once loaded. Thread: any.
class LetterToSound {
public:
    // Absent, with `error` set, when the file cannot be read or holds no trees.
    static std::unique_ptr<LetterToSound> load(const std::filesystem::path& rules, std::string& error);
    static std::unique_ptr<LetterToSound> parse(std::string_view schemeText, std::string& error);

    // Phones separated by single spaces; absent when the word has no letter a-z. Letter case is
    // ignored and anything but a-z (an apostrophe, a hyphen) is skipped.
    std::optional<std::string> pronounce(std::string_view word) const;

    struct Node {
        int feature = 0;        // letter offset asked about (-3..3); 0 marks a leaf
        char value = 0;         // the letter asked for: a-z, '#' (word edge) or '0' (beyond it)
        std::int32_t yes = -1;  // node indices
        std::int32_t no = -1;
        std::string phones;     // leaf: phones in the model's names, space-separated, maybe empty
    };

private:
    std::vector<Node> nodes_;
    std::int32_t roots_[26];
};

}  // namespace lumeno::platform
