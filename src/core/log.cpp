#include "core/log.h"

#include <cmath>
#include <cstdio>
#include <iomanip>

namespace lumeno::core {

namespace {
void writeLine(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
}  // namespace

void StdoutLogger::line(std::string_view text) {
    std::lock_guard lock(mutex_);
    writeLine(stdout, text);
}

void StderrLogger::line(std::string_view text) {
    std::lock_guard lock(mutex_);
    writeLine(stderr, text);
}

std::string formatDecimal(double value) {
    if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    std::ostringstream out;
    out << std::setprecision(15) << value;
    std::string text = out.str();
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace lumeno::core
