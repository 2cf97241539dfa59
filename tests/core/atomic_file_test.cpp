#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

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

// Whatever fails, the old file stays whole and nothing of ours is left beside it.
TEST(AtomicFileTest, AFailedWriteReportsWhyAndKeepsWhatWasThere) {
    struct Case {
        const char* name;
        std::optional<std::size_t> spaceLeft;
        int syncError;
        bool folderInTheWay;  // the rename fails
        std::string error;
    };
    const Case cases[] = {
        {"the disk fills midway, after a short write", 1000, 0, false, "No space left on device"},
        {"the data cannot be synced", std::nullopt, EIO, false, "Input/output error"},
        {"a folder where the file goes", std::nullopt, 0, true, "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path destination = dir.path() / "out.png";
        const fs::path old = c.folderInTheWay ? destination / "keep" : destination;
        if (c.folderInTheWay) fs::create_directory(destination);
        writeFile(old, "old bytes");
        const auto before = entries(dir.path());
        {
            FailingFileCalls calls;
            calls.spaceLeft = c.spaceLeft;
            calls.syncError = c.syncError;
            EXPECT_EQ(writeFileAtomically(destination, std::string(4096, 'x')).message(), c.error);
        }
        EXPECT_EQ(entries(dir.path()), before);
        EXPECT_EQ(readFile(old), "old bytes");
    }
}
