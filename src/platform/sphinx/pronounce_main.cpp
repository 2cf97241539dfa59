// lumeno-pronounce RULES: reads words, one a line, and prints a dictionary line for each
// ("word PHONES") with the letter-to-sound rules in RULES. Used when the church language model
// is built; a word without letters a-z is left out.
#include <iostream>
#include <string>

#include "platform/sphinx/letter_to_sound.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: lumeno-pronounce RULES < words\n";
        return 2;
    }
    std::string error;
    const auto rules = lumeno::platform::LetterToSound::load(argv[1], error);
    if (!rules) {
        std::cerr << "lumeno-pronounce: " << error << "\n";
        return 1;
    }
    for (std::string word; std::getline(std::cin, word);) {
        if (const auto phones = rules->pronounce(word)) std::cout << word << ' ' << *phones << '\n';
    }
    return 0;
}
