#include "speech/vocabulary.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "speech/icu_text.h"

namespace lumeno::speech {

using nlohmann::json;

const std::vector<std::string>& speechModelPhones() {
    static const std::vector<std::string> phones = {
        "AA", "AE", "AH", "AO", "AW", "AY", "B",  "CH", "D",  "DH", "EH", "ER", "EY",
        "F",  "G",  "HH", "IH", "IY", "JH", "K",  "L",  "M",  "N",  "NG", "OW", "OY",
        "P",  "R",  "S",  "SH", "T",  "TH", "UH", "UW", "V",  "W",  "Y",  "Z",  "ZH"};
    return phones;
}

namespace {

bool hasLetter(const icu::UnicodeString& text) {
    for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
        if (u_isalpha(text.char32At(i))) return true;
    return false;
}

}  // namespace

VocabularyCheck checkVocabularyEntry(std::string_view text, std::string_view pronunciation) {
    const icu::UnicodeString trimmed = trimWhitespace(toUnicode(text));
    if (!hasLetter(trimmed)) return {std::nullopt, "A vocabulary entry needs at least one letter."};
    if (static_cast<std::size_t>(trimmed.countChar32()) > kMaxVocabularyEntryLength)
        return {std::nullopt, "A vocabulary entry can be at most 64 characters long."};
    VocabularyEntry entry{toUtf8(trimmed), {}};

    std::istringstream phones(toUtf8(trimWhitespace(toUnicode(pronunciation))));
    for (std::string phone; phones >> phone;) {
        // Stress marks, as in a copy from the CMU dictionary ("EH1"), mean nothing to the model.
        while (!phone.empty() && phone.back() >= '0' && phone.back() <= '2') phone.pop_back();
        std::transform(phone.begin(), phone.end(), phone.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const auto& known = speechModelPhones();
        if (std::find(known.begin(), known.end(), phone) == known.end()) {
            std::string list;
            for (const auto& p : known) list += (list.empty() ? "" : " ") + p;
            return {std::nullopt, "The pronunciation has \"" + (phone.empty() ? std::string("?") : phone) +
                                      "\", which is not a sound of the speech model. Its sounds are: " + list + "."};
        }
        entry.pronunciation += (entry.pronunciation.empty() ? "" : " ") + phone;
    }
    if (!entry.pronunciation.empty() && vocabularyWords(entry.text).size() != 1)
        return {std::nullopt, "A pronunciation can only be given for a single word."};
    return {entry, {}};
}

std::vector<VocabularyEntry> parseVocabulary(std::string_view text, std::vector<std::string>* problems) {
    std::vector<VocabularyEntry> entries;
    const json list = json::parse(text, nullptr, false);
    if (!list.is_array()) {
        if (problems && !text.empty()) problems->push_back("the vocabulary is not a JSON list");
        return entries;
    }
    for (const json& item : list) {
        std::string itemText, itemPronunciation;
        if (item.is_string()) {
            itemText = item.get<std::string>();
        } else if (item.is_object() && item.contains("text") && item["text"].is_string()) {
            itemText = item["text"].get<std::string>();
            if (auto it = item.find("pronunciation"); it != item.end() && it->is_string())
                itemPronunciation = it->get<std::string>();
        } else {
            if (problems) problems->push_back("a vocabulary item is neither a text nor {\"text\": ...}");
            continue;
        }
        VocabularyCheck check = checkVocabularyEntry(sanitizeUtf8(itemText), itemPronunciation);
        if (!check.entry) {
            if (problems) problems->push_back("\"" + sanitizeUtf8(itemText) + "\": " + check.error);
            continue;
        }
        if (std::find(entries.begin(), entries.end(), *check.entry) == entries.end()) entries.push_back(*check.entry);
    }
    return entries;
}

std::string serializeVocabulary(const std::vector<VocabularyEntry>& entries) {
    json list = json::array();
    for (const auto& entry : entries) {
        if (entry.pronunciation.empty())
            list.push_back(entry.text);
        else
            list.push_back({{"text", entry.text}, {"pronunciation", entry.pronunciation}});
    }
    return list.dump();
}

std::string vocabularySettingError(std::string_view text) {
    std::vector<std::string> problems;
    parseVocabulary(text, &problems);
    if (problems.empty() && !json::parse(text, nullptr, false).is_array())
        problems.push_back("the vocabulary is not a JSON list");
    return problems.empty() ? std::string() : problems.front();
}

std::vector<std::string> vocabularyWords(std::string_view text) {
    const icu::UnicodeString lowered = lower(toUnicode(text));
    std::vector<std::string> words;
    icu::UnicodeString word;
    for (std::int32_t i = 0; i <= lowered.length(); i = lowered.moveIndex32(i, 1)) {
        const UChar32 c = i < lowered.length() ? lowered.char32At(i) : U' ';
        if (u_isalpha(c) || c == 0x27 || c == 0x2019) {
            word.append(static_cast<UChar32>(c == 0x2019 ? 0x27 : c));
            continue;
        }
        if (!word.isEmpty() && hasLetter(word)) words.push_back(toUtf8(word));
        word.remove();
        if (i >= lowered.length()) break;
    }
    return words;
}

}  // namespace lumeno::speech
