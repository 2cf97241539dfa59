#include "transcript/transcript_archive.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fakes/capture_logger.h"
#include "fakes/virtual_main_queue.h"
#include "support/failing_file_calls.h"
#include "support/temp_dir.h"

using namespace lumeno::transcript;
using namespace std::chrono_literals;
using namespace lumeno::testing;
namespace fs = std::filesystem;

namespace {

const Clock::time_point kStart = Clock::time_point(1765000000s);

std::vector<fs::path> archiveFiles(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path());
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) { return a.stem().string() < b.stem().string(); });
    return files;
}

std::vector<std::string> texts(const TranscriptSession& session) {
    std::vector<std::string> out;
    for (const auto& c : session.captions) out.push_back(c.text);
    return out;
}

class ArchiveTest : public ::testing::Test {
protected:
    std::shared_ptr<TranscriptArchive> make(fs::path dir, bool store = true) {
        return TranscriptArchive::create(
            {queue_, log_, [this](const std::string& title, const std::string&) { alerts_.push_back(title); },
             [this] { return now_; }},
            {std::move(dir), store, [](std::function<void()> task) { task(); }});
    }

    TempDir tmp_;
    VirtualMainQueue queue_;
    CaptureLogger log_;
    std::vector<std::string> alerts_;
    Clock::time_point now_ = kStart;
};

// Sessions started in the same second get files of their own; a caption outside a session starts
// one. A process killed at any moment loses only what it still holds itself: each caption is in the
// file once it was added, never left in a buffer of ours.
TEST_F(ArchiveTest, EveryFinalIsStoredOnceWithTheRefinedTextInItsPlaceInASessionFileOfItsOwn) {
    auto archive = make(tmp_.path() / "transcripts");  // missing: created
    archive->beginSession();
    archive->addTranscription("hello", false);
    now_ += 2s;
    archive->addTranscription("hello world", true);
    archive->addTranscription("Hello world.", true);
    archive->addTranscription("next one", true);
    std::string error;
    EXPECT_EQ(readSession(archiveFiles(tmp_.path() / "transcripts").at(0), error).value().captions.size(), 2u);
    archive->addTranscription("next one", true);
    archive->endSession();
    now_ -= 2s;
    archive->beginSession();
    archive->addTranscription("second session", true);
    archive->endSession();
    archive->addTranscription("outside a session", true);

    const auto files = archiveFiles(tmp_.path() / "transcripts");
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].filename(), sessionName(kStart) + ".jsonl");
    EXPECT_EQ(files[1].filename(), sessionName(kStart) + "-2.jsonl");
    const auto stored = readSession(files[0], error).value();
    EXPECT_EQ(texts(stored), (std::vector<std::string>{"Hello world.", "next one"}));
    EXPECT_EQ(stored.start, kStart);
    EXPECT_EQ(stored.captions[0].time, kStart + 2s);  // the refined text keeps the caption's time
    EXPECT_EQ(texts(*readSession(files[2], error)), std::vector<std::string>{"outside a session"});
}

// A disk that fills, or a device that fails a sync, in the middle of a caption: the operator is
// told once, storing stops, captions go on, and the file ends with its last whole record, nothing
// half-written after it. A torn last line (a writer killed midway) is skipped on reading.
TEST_F(ArchiveTest, AFailedAppendIsReportedOnceAndLeavesOnlyWholeLines) {
    for (const int syncError : {0, EIO}) {  // 0: the disk fills midway through the caption
        SCOPED_TRACE(syncError);
        TempDir dir;
        auto archive = make(dir.path());
        archive->addTranscription("kept one", true);
        archive->addTranscription("kept two", true);
        {
            FailingFileCalls calls;
            if (!syncError) calls.spaceLeft = 10;
            calls.syncError = syncError;
            archive->addTranscription("lost to the disk", true);
        }
        archive->addTranscription("shown, not stored", true);
        queue_.runUntilIdle();
        EXPECT_FALSE(archive->storing());
        EXPECT_EQ(texts(archive->currentSession()).back(), "shown, not stored");
        const auto files = archiveFiles(dir.path());
        ASSERT_EQ(files.size(), 1u);
        std::ifstream in(files[0], std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        EXPECT_TRUE(bytes.ends_with("}\n")) << bytes;
        std::ofstream(files[0], std::ios::app) << "{\"time\":1765000003.0,\"te";  // as a killed writer leaves it
        std::string error;
        EXPECT_EQ(texts(*readSession(files[0], error)), (std::vector<std::string>{"kept one", "kept two"}));
    }
    EXPECT_EQ(alerts_, (std::vector<std::string>(2, "Transcript Not Stored")));
}

TEST(ExportTest, SubRipOfAKnownSession) {
    const TranscriptSession known{"known", kStart,
                                  {{kStart + 1500ms, "Grace and peace to you."},
                                   {kStart + 3s, "The Lord be with you."},
                                   {kStart + 1h + 2min + 30s + 7ms, "And also\nwith you."}}};
    EXPECT_EQ(toSubRip(known),
              "1\n00:00:01,500 --> 00:00:03,000\nGrace and peace to you.\n\n"
              "2\n00:00:03,000 --> 00:00:08,000\nThe Lord be with you.\n\n"
              "3\n01:02:30,007 --> 01:02:35,007\nAnd also with you.\n\n");
}

TEST_F(ArchiveTest, ExportCommandPicksTheNamedOrNewestSession) {
    auto archive = make(tmp_.path() / "archive");
    archive->addTranscription("older", true);
    archive->endSession();
    now_ += 1h;
    archive->addTranscription("newer", true);
    archive->endSession();

    const struct {
        std::optional<std::string> session;
        std::string file;
        int status;
        std::string content;
    } cases[] = {
        {std::nullopt, "out.TXT", 0, "newer\n"},
        {sessionName(kStart) + ".jsonl", "out.srt", 0, "1\n00:00:00,000 --> 00:00:05,000\nolder\n\n"},
        {std::nullopt, "out.doc", 2, ""},
        {"no-such-session", "out.txt", 1, ""},
    };
    for (const auto& c : cases) {
        const fs::path out = tmp_.path() / c.file;
        std::ostringstream stdout, stderr;
        EXPECT_EQ(exportTranscriptCommand(tmp_.path() / "archive", c.session, out, stdout, stderr), c.status) << c.file;
        if (c.status != 0) continue;
        std::ifstream in(out);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.content) << c.file;
    }
}

}  // namespace
