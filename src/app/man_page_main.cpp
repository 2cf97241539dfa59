// Writes the manual page at build time: lumeno-man-page OUTPUT VERSION DATE
#include <fstream>
#include <iostream>

#include "app/man_page.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: lumeno-man-page OUTPUT VERSION DATE\n";
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << lumeno::app::manPage(lumeno::app::optionTable(), argv[2], argv[3]);
    out.close();
    if (!out) {
        std::cerr << "lumeno-man-page: could not write " << argv[1] << "\n";
        return 2;
    }
    return 0;
}
