#include "transcript/transcript_archive.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "core/atomic_file.h"

namespace lumeno::transcript {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kExtension = ".jsonl";
constexpr auto kLongestCue = 5s;

double secondsSince1970(Clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

Clock::time_point fromSeconds(double seconds) {
    return Clock::time_point(std::chrono::milliseconds(std::llround(seconds * 1000.0)));
}

std::string dumpLine(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string oneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::string errnoText(const std::string& what, const fs::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

std::string srtTime(Clock::duration offset) {
    const auto ms = std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(offset).count());
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld,%03lld", static_cast<long long>(ms / 3600000),
                  static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));
    return text;
}

}  // namespace

fs::path defaultTranscriptDir() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg && fs::path(xdg).is_absolute())
        return fs::path(xdg) / "lumeno" / "transcripts";
    if (const char* home = std::getenv("HOME"); home && *home)
        return fs::path(home) / ".local" / "share" / "lumeno" / "transcripts";
    return fs::current_path() / ".lumeno" / "transcripts";
}

std::string sessionName(Clock::time_point start) {
    const std::time_t seconds = Clock::to_time_t(start);
    std::tm local{};
    localtime_r(&seconds, &local);
    char name[32];
    std::strftime(name, sizeof name, "%Y-%m-%d_%H-%M-%S", &local);
    return name;
}

// The open archive file. Thread: the writer only.
struct TranscriptArchive::Writer {
    fs::path dir;
    std::string openSession;
    int fd = -1;
    bool failed = false;

    ~Writer() { close(); }

    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        openSession.clear();
    }

    // The session's file, created on its first caption. Two sessions started within the same
    // second get "-2", "-3" after the name rather than sharing a file.
    std::string open(const std::string& session, Clock::time_point start) {
        close();
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return "cannot create " + dir.string() + ": " + ec.message();
        for (int attempt = 1; attempt <= 100; ++attempt) {
            const std::string stem = attempt == 1 ? session : session + "-" + std::to_string(attempt);
            const fs::path path = dir / (stem + kExtension);
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) return errnoText("cannot create", path);
            openSession = session;
            return append(dumpLine({{"lumenoTranscript", 1}, {"session", stem}, {"start", secondsSince1970(start)}}),
                          path);
        }
        return "cannot create a new file for session " + session + " in " + dir.string();
    }

    std::string append(const std::string& line, const fs::path& path) {
        const off_t before = ::lseek(fd, 0, SEEK_END);
        std::error_code error = core::writeAll(fd, line);
        if (!error) error = core::syncData(fd);
        if (!error) return {};
        // A line cut short by a full disk is taken back: the file ends with its last whole record.
        if (before >= 0) (void)::ftruncate(fd, before);
        return "cannot write " + path.string() + ": " + error.message();
    }

    // Returns an error message, empty when the line is on disk.
    std::string write(const std::string& session, Clock::time_point start, const std::string& line) {
        if (openSession != session) {
            if (auto error = open(session, start); !error.empty()) return error;
        }
        return append(line, dir / (session + kExtension));
    }
};

std::shared_ptr<TranscriptArchive> TranscriptArchive::create(Services services, Options options) {
    return std::shared_ptr<TranscriptArchive>(new TranscriptArchive(std::move(services), std::move(options)));
}

TranscriptArchive::TranscriptArchive(Services services, Options options)
    : services_(std::move(services)), options_(std::move(options)), writer_(std::make_shared<Writer>()) {
    writer_->dir = options_.dir;
    if (!options_.writer) {
        ownThread_ = std::make_unique<core::BackgroundQueue>(1);
        options_.writer = [queue = ownThread_.get()](std::function<void()> task) { queue->submit(std::move(task)); };
    }
}

TranscriptArchive::~TranscriptArchive() {
    ownThread_.reset();  // joins after the queued writes
}

void TranscriptArchive::beginSession() {
    if (active_) endSession();
    const auto now = services_.now();
    session_ = {sessionName(now), now, {}};
    active_ = true;
    lastRefined_ = false;
}

void TranscriptArchive::endSession() {
    if (!active_) return;
    active_ = false;
    options_.writer([writer = writer_] { writer->close(); });
}

void TranscriptArchive::addTranscription(const std::string& text, bool isFinal) {
    if (!isFinal || text.empty()) return;
    if (!active_) beginSession();
    auto& captions = session_.captions;
    if (!captions.empty() && !lastRefined_ && isRefinementOf(captions.back().text, text)) {
        captions.back().text = text;
        lastRefined_ = true;
        write(captions.back(), true);
        return;
    }
    if (!captions.empty() && captions.back().text == text) return;
    captions.push_back({services_.now(), text});
    lastRefined_ = false;
    write(captions.back(), false);
}

void TranscriptArchive::write(const Caption& caption, bool replacesPrevious) {
    if (!storing()) return;
    nlohmann::json record = {{"time", secondsSince1970(caption.time)}, {"text", caption.text}};
    if (replacesPrevious) record["replaces"] = true;
    options_.writer([writer = writer_, session = session_.name, start = session_.start, line = dumpLine(record),
                     weak = weak_from_this(), &queue = services_.mainQueue] {
        if (writer->failed) return;
        std::string error = writer->write(session, start, line);
        if (error.empty()) return;
        writer->failed = true;
        writer->close();
        queue.async([weak, error] {
            if (auto self = weak.lock()) self->writeFailed(error);
        });
    });
}

void TranscriptArchive::writeFailed(const std::string& error) {
    if (failed_) return;
    failed_ = true;
    services_.log.print("❌ Transcript storing disabled: ", error);
    if (services_.alert)
        services_.alert("Transcript Not Stored",
                        "Captions go on, but this service's transcript cannot be stored: " + error);
}

std::string toPlainText(const TranscriptSession& session) {
    std::string text;
    for (const auto& caption : session.captions) text += oneLine(caption.text) + "\n";
    return text;
}

std::string toSubRip(const TranscriptSession& session) {
    std::string srt;
    const auto& captions = session.captions;
    for (std::size_t i = 0; i < captions.size(); ++i) {
        const auto start = captions[i].time;
        auto end = start + kLongestCue;
        if (i + 1 < captions.size() && captions[i + 1].time > start) end = std::min(end, captions[i + 1].time);
        srt += std::to_string(i + 1) + "\n" + srtTime(start - session.start) + " --> " + srtTime(end - session.start) +
               "\n" + oneLine(captions[i].text) + "\n\n";
    }
    return srt;
}

std::optional<TranscriptSession> readSession(const fs::path& file, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read " + file.string();
        return std::nullopt;
    }
    TranscriptSession session;
    session.name = file.stem().string();
    bool sawHeader = false;
    std::string line;
    while (std::getline(in, line)) {
        const auto record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object()) continue;
        if (record.contains("lumenoTranscript")) {
            sawHeader = true;
            if (record.contains("start") && record["start"].is_number())
                session.start = fromSeconds(record["start"].get<double>());
            continue;
        }
        if (!record.contains("text") || !record["text"].is_string() || !record.contains("time") ||
            !record["time"].is_number())
            continue;
        std::string text = record["text"].get<std::string>();
        if (record.value("replaces", false) && !session.captions.empty())
            session.captions.back().text = std::move(text);
        else
            session.captions.push_back({fromSeconds(record["time"].get<double>()), std::move(text)});
    }
    if (!sawHeader) {
        error = file.string() + " is not a Lumeno transcript";
        return std::nullopt;
    }
    return session;
}

std::string exportSession(const TranscriptSession& session, const fs::path& file) {
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string content;
    if (extension == ".srt")
        content = toSubRip(session);
    else if (extension == ".txt")
        content = toPlainText(session);
    else
        return "the file name must end in .srt or .txt: " + file.string();
    // Never a half-written export in place of an earlier good one.
    if (const auto error = core::writeFileAtomically(file, content)) return "cannot write " + file.string() + ": " + error.message();
    return {};
}

int exportTranscriptCommand(const fs::path& dir, const std::optional<std::string>& session, const fs::path& file,
                            std::ostream& out, std::ostream& err) {
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    if (extension != ".srt" && extension != ".txt") {
        err << "lumeno: --export-transcript needs a file name ending in .srt or .txt, not '" << file.string() << "'\n";
        return 2;
    }
    fs::path source;
    if (session) {
        std::string name = *session;
        if (name.ends_with(kExtension)) name.resize(name.size() - std::strlen(kExtension));
        if (name.empty() || name.find('/') != std::string::npos) {
            err << "lumeno: --session needs a session name as listed in " << dir.string() << "\n";
            return 2;
        }
        source = dir / (name + kExtension);
        if (!fs::is_regular_file(source)) {
            err << "lumeno: no transcript session '" << name << "' in " << dir.string() << "\n";
            return 1;
        }
    } else {
        // Names are start times, so the newest session sorts last.
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec))
            if (entry.path().extension() == kExtension &&
                (source.empty() || entry.path().stem().string() > source.stem().string()))
                source = entry.path();
        if (source.empty()) {
            err << "lumeno: no transcripts in " << dir.string() << "\n";
            return 1;
        }
    }
    std::string error;
    const auto transcript = readSession(source, error);
    if (!transcript) {
        err << "lumeno: " << error << "\n";
        return 1;
    }
    if (error = exportSession(*transcript, file); !error.empty()) {
        err << "lumeno: " << error << "\n";
        return 1;
    }
    out << "Exported " << transcript->captions.size() << " captions of session " << transcript->name << " to "
        << file.string() << "\n";
    return 0;
}

}  // namespace lumeno::transcript
