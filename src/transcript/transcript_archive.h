#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/background.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "transcript/transcript_model.h"

namespace lumeno::transcript {

struct Caption {
    Clock::time_point time;
    std::string text;
    bool operator==(const Caption&) const = default;
};

// The final captions of one streaming session, in order, refined text in place of the first.
struct TranscriptSession {
    std::string name;  // also the archive file's name, without ".jsonl"
    Clock::time_point start;
    std::vector<Caption> captions;
};

// $XDG_DATA_HOME/lumeno/transcripts, else ~/.local/share/lumeno/transcripts.
std::filesystem::path defaultTranscriptDir();
// The session's name for its start, in local time: "2026-12-07_19-30-05".
std::string sessionName(Clock::time_point start);

// Keeps every final caption of each streaming session in a file of its own, as the captions
// arrive: one JSON object a line, appended and synced to disk per caption, so a crash or power
// cut loses at most the caption being written. A refined final is stored as a line that
// replaces the one before. A folder that cannot be written turns storing off with one log line
// and one alert; captions go on, and the session stays in memory for export.
//
// Thread: main; the file work runs on the archive's own writer thread.
class TranscriptArchive : public std::enable_shared_from_this<TranscriptArchive> {
public:
    using Executor = std::function<void(std::function<void()>)>;

    struct Services {
        core::MainQueue& mainQueue;
        core::Logger& log;
        std::function<void(const std::string& title, const std::string& message)> alert;
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
    };
    struct Options {
        std::filesystem::path dir;
        bool store = true;  // false: sessions are kept in memory only
        Executor writer;    // where file work runs; absent: a thread of the archive's own
    };

    static std::shared_ptr<TranscriptArchive> create(Services services, Options options);
    ~TranscriptArchive();  // finishes pending writes
    TranscriptArchive(const TranscriptArchive&) = delete;
    TranscriptArchive& operator=(const TranscriptArchive&) = delete;

    // Streaming started or stopped. A caption outside a session starts one.
    void beginSession();
    void endSession();

    // Every update the speech session reports; only finals are kept.
    void addTranscription(const std::string& text, bool isFinal);

    // The running session, or the last one after it ended.
    const TranscriptSession& currentSession() const { return session_; }
    bool storing() const { return options_.store && !failed_; }

private:
    struct Writer;

    TranscriptArchive(Services services, Options options);
    void write(const Caption& caption, bool replacesPrevious);
    void writeFailed(const std::string& error);

    Services services_;
    Options options_;
    std::shared_ptr<Writer> writer_;
    std::unique_ptr<core::BackgroundQueue> ownThread_;
    TranscriptSession session_;
    bool active_ = false;
    bool lastRefined_ = false;
    bool failed_ = false;
};

// One caption a line; line breaks inside a caption become spaces.
std::string toPlainText(const TranscriptSession& session);
// SubRip cues timed from the session start: each caption until the next one, at most 5 s.
std::string toSubRip(const TranscriptSession& session);

// Reads an archive file; a torn last line (a crash mid-write) or any unreadable line is skipped.
std::optional<TranscriptSession> readSession(const std::filesystem::path& file, std::string& error);
// Writes the session as SubRip (".srt") or plain text (".txt"), by the file's extension.
// Returns an error message, empty on success.
std::string exportSession(const TranscriptSession& session, const std::filesystem::path& file);

// lumeno --export-transcript FILE [--session NAME]: the named session, or the newest, of the
// archive in `dir`. Returns the exit status: 0 done, 1 nothing to export, 2 a bad file name.
int exportTranscriptCommand(const std::filesystem::path& dir, const std::optional<std::string>& session,
                            const std::filesystem::path& file, std::ostream& out, std::ostream& err);

}  // namespace lumeno::transcript
