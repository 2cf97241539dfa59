#pragma once

#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

namespace lumeno::core {

// Where the system's log lines go: one line each, no levels, no timestamps. Passed to every
// object that logs, so tests can read the lines back. Thread: any.
class Logger {
public:
    virtual ~Logger() = default;
    virtual void line(std::string_view text) = 0;

    // log.print("Sent to ", sent, "/", total, " connections")
    template <typename... Parts>
    void print(const Parts&... parts) {
        std::ostringstream out;
        (out << ... << parts);
        line(out.str());
    }
};

// Writes lines to standard output, flushed per line so a supervisor sees them at once.
class StdoutLogger final : public Logger {
public:
    void line(std::string_view text) override;

private:
    std::mutex mutex_;
};

// Writes lines to standard error; used by command-line tools whose standard output is data.
class StderrLogger final : public Logger {
public:
    void line(std::string_view text) override;

private:
    std::mutex mutex_;
};

// Discards everything (benchmarks).
class NullLogger final : public Logger {
public:
    void line(std::string_view) override {}
};

// Formats a double the way the system's log lines show them: always with a fractional part
// (48000 -> "48000.0", 0.5 -> "0.5").
std::string formatDecimal(double value);

}  // namespace lumeno::core
