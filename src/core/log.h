#pragma once

#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
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
        // One buffer per thread, reused: a line from the audio or io thread allocates nothing
        // once the buffer has grown to the longest line. (So line() must not print itself.)
        thread_local LineStream out;
        out.reset();
        (out.stream << ... << parts);
        line(out.text());
    }

private:
    class LineBuffer final : public std::streambuf {
    public:
        void reset() { text_.clear(); }
        std::string_view text() const { return text_; }

    protected:
        int_type overflow(int_type c) override {
            if (c != traits_type::eof()) text_.push_back(static_cast<char>(c));
            return c;
        }
        std::streamsize xsputn(const char* s, std::streamsize n) override {
            text_.append(s, static_cast<std::size_t>(n));
            return n;
        }

    private:
        std::string text_;
    };
    struct LineStream {
        LineBuffer buffer;
        std::ostream stream{&buffer};
        void reset() {
            buffer.reset();
            stream.clear();
            stream.flags(std::ios_base::skipws | std::ios_base::dec);  // a manipulator never outlives its line
            stream.precision(6);
            stream.fill(' ');
        }
        std::string_view text() const { return buffer.text(); }
    };
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
