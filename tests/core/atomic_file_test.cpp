#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/failing_file_calls.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using lumeno::core::writeFileAtomically;
using lumeno::testing::FailingFileCalls;
using lumeno::testing::TempDir;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, std::string_view text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Root ignores permission bits, so a read-only folder is tried as nobody, in a child process
// that cannot pass the lowered privilege on to other tests. Returns the error's message.
std::string writeAsNobody(const fs::path& path) {
    TempDir scratch;
    fs::permissions(scratch.path(), fs::perms::all);
    const fs::path result = scratch.path() / "error";
    if (const pid_t pid = ::fork(); pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(1);
        std::ofstream(result) << writeFileAtomically(path, std::string(4096, 'x')).message();
        ::_exit(0);
    } else {
        ::waitpid(pid, nullptr, 0);
    }
    return readFile(result);
}

}  // namespace

TEST(AtomicFileTest, ReplacesTheFileWithTheUmasksModeAndLeavesNoTemporary) {
    TempDir dir;
    const fs::path file = dir.path() / "Lumeno-QRCode.png";
    writeFile(file, "old bytes");
    const mode_t previous = ::umask(022);
    const auto error = writeFileAtomically(file, "new");
    ::umask(previous);
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Lumeno-QRCode.png"});
}

// Whatever fails, and wherever, the old file stays whole and nothing of ours is left beside it.
TEST(AtomicFileTest, AFailedWriteReportsWhyAndKeepsWhatWasThere) {
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path& dir)> prepare;  // returns the destination
        std::function<std::string(const fs::path& destination)> write;
        std::string error;
    };
    auto plain = [](const fs::path& dir) {
        writeFile(dir / "out.png", "old bytes");
        return dir / "out.png";
    };
    auto withCalls = [](std::function<void(FailingFileCalls&)> set) {
        return [set](const fs::path& destination) {
            FailingFileCalls calls;
            set(calls);
            return writeFileAtomically(destination, std::string(4096, 'x')).message();
        };
    };
    auto normally = [](const fs::path& destination) { return writeFileAtomically(destination, "new").message(); };
    const Case cases[] = {
        {"the disk fills midway, after a short write", plain,
         withCalls([](FailingFileCalls& c) { c.spaceLeft = 1000; }), "No space left on device"},
        {"the data cannot be synced", plain, withCalls([](FailingFileCalls& c) { c.syncError = EIO; }),
         "Input/output error"},
        {"read-only folder",
         [&](const fs::path& dir) {
             const auto destination = plain(dir);
             fs::permissions(dir, fs::perms(0555));
             return destination;
         },
         writeAsNobody, "Permission denied"},
        {"parent is a file", [&](const fs::path& dir) { return plain(dir) / "inner.png"; }, normally, "Not a directory"},
        {"rename onto a folder",
         [](const fs::path& dir) {
             fs::create_directory(dir / "out.png");
             writeFile(dir / "out.png" / "keep", "old bytes");
             return dir / "out.png";
         },
         normally, "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir top;
        fs::permissions(top.path(), fs::perms(0755));  // so an unprivileged child can reach the folder
        const fs::path dir = top.path() / "out";
        fs::create_directory(dir);
        const fs::path destination = c.prepare(dir);
        const auto before = entries(dir);

        EXPECT_EQ(c.write(destination), c.error);

        fs::permissions(dir, fs::perms(0755));
        EXPECT_EQ(entries(dir), before);
        EXPECT_EQ(readFile(fs::is_directory(dir / "out.png") ? dir / "out.png" / "keep" : dir / "out.png"), "old bytes");
    }
}

// An operator who keeps the file elsewhere and links to it keeps the link: a chain of links,
// relative ones included, is followed to the file it names, which is written (or made).
TEST(AtomicFileTest, ALinkedTargetIsWrittenThroughAndStaysALink) {
    TempDir dir;
    fs::create_directories(dir.path() / "dotfiles");
    fs::create_symlink("dotfiles/settings.json", dir.path() / "middle.json");
    fs::create_symlink(dir.path() / "middle.json", dir.path() / "settings.json");
    for (const char* contents : {"made", "replaced"}) {  // the named file missing, then there
        ASSERT_FALSE(writeFileAtomically(dir.path() / "settings.json", contents));
        EXPECT_TRUE(fs::is_symlink(dir.path() / "settings.json"));
        EXPECT_TRUE(fs::is_symlink(dir.path() / "middle.json"));
        EXPECT_EQ(readFile(dir.path() / "dotfiles" / "settings.json"), contents);
    }
    EXPECT_EQ(entries(dir.path() / "dotfiles"), std::vector<std::string>{"settings.json"});
}

TEST(AtomicFileTest, StaleTemporariesOfOneFileAreRemovedAndNothingElse) {
    TempDir dir;
    const std::vector<std::string> stale = {".settings.json.tmp-a1B2c3", "settings.json.tmp-Zz09aq"};
    const std::vector<std::string> kept = {".other.json.tmp-a1B2c3", "settings.json", "settings.json.corrupt-20260101T000000Z",
                                           "settings.json.tmp-mine", "settings.json.tmp-a1B2c3.bak"};
    for (const auto& name : stale) writeFile(dir.path() / name, "{");
    for (const auto& name : kept) writeFile(dir.path() / name, "{}");
    lumeno::core::removeStaleTemporaries(dir.path() / "settings.json");
    auto expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(dir.path()), expected);
}
