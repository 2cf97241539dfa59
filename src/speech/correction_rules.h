#pragma once

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "speech/correction_map.h"

namespace lumeno::speech {


// The effective correction map made ready for passes: entries ordered by the number of words in
// their key (most first, ties in map order) with each key's pattern compiled once. Immutable
// after construction, so a pass on the recogniser's thread can keep using it while the main
// thread builds its successor. Thread: any.
class CorrectionRules {
public:
    explicit CorrectionRules(CorrectionMap map = {});
    CorrectionRules(const CorrectionRules&) = delete;
    CorrectionRules& operator=(const CorrectionRules&) = delete;

    const CorrectionMap& map() const { return map_; }
    bool empty() const { return map_.empty(); }

    // Replaces every whole-word, case-insensitive occurrence of each key, adapting the
    // replacement to the spoken case; appends each replacement made to `applied`. One pass
    // over the original text: what a replacement produced is never matched by a later key.
    void apply(icu::UnicodeString& text, std::vector<AppliedCorrection>& applied) const;

    // The same pass compiling every pattern on the spot and running every one of them: the cost
    // the compiled rules avoid. Gives the same text and the same applied list.
    void applyCompilingEachPass(icu::UnicodeString& text, std::vector<AppliedCorrection>& applied) const;

    // The key's pattern: the escaped key between word boundaries.
    static icu::UnicodeString patternFor(const icu::UnicodeString& key);
    // The value as it replaces `matched`: all capitals for a shouted match, a capital first letter
    // for a capitalised one, otherwise as written.
    static icu::UnicodeString adaptCase(const icu::UnicodeString& matched, const icu::UnicodeString& value);

private:
    struct Entry {
        icu::UnicodeString pattern;
        icu::UnicodeString value;
        std::unique_ptr<icu::RegexPattern> compiled;  // null: the key does not compile and is skipped
        std::optional<std::string> asciiKey;          // for the pre-check, when the key is ASCII
    };

    struct Range {
        std::int32_t start;
        std::int32_t end;
    };
    static bool replaceAll(const icu::RegexPattern& pattern, const icu::UnicodeString& value,
                           icu::UnicodeString& text, std::vector<Range>& produced,
                           std::vector<AppliedCorrection>& applied);

    CorrectionMap map_;
    std::vector<Entry> entries_;  // in pass order
};

}  // namespace lumeno::speech
