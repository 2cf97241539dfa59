// lumeno-text: try correction settings on text before a service. See tools/text_tool.h.
#include <iostream>
#include <string>
#include <vector>

#include "core/log.h"
#include "tools/text_tool.h"

int main(int argc, char** argv) {
    lumeno::core::StderrLogger log;
    return lumeno::tools::runTextTool(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr,
                                      log);
}
