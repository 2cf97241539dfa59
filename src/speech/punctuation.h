#pragma once

#include <string>
#include <string_view>

namespace lumeno::speech {

// The punctuation pass for final results: question marks, commas after opening discourse words,
// sentence breaks, capitals and a closing mark, by fixed rules in a fixed order. Pure functions
// on UTF-8 text whose patterns are compiled once. Thread: any.
std::string refineSentence(std::string_view text);

// The sentence with "?" appended when it asks (it opens with a question word that asks or an
// auxiliary before its subject, or closes with a tag such as "right") and no mark closes it.
std::string detectQuestion(std::string_view sentence);

// Upper-cases the first character and every word character after ". ", "? " or "! ".
std::string capitalizeSentences(std::string_view text);

}  // namespace lumeno::speech
