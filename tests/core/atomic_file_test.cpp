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

// Whatever fails, the old file stays whole; either way nothing of ours is left beside it.
TEST(AtomicFileTest, ReplacesTheFileWithTheUmasksModeOrReportsWhyAndKeepsWhatWasThere) {
    struct Case {
        const char* name;
        std::optional<std::size_t> spaceLeft;
        int syncError;
        bool folderInTheWay;  // the rename fails
        std::string error;
    };
    const Case cases[] = {
        {"nothing fails", std::nullopt, 0, false, ""},
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
        const mode_t umask = ::umask(022);
        {
            FailingFileCalls calls;
            calls.spaceLeft = c.spaceLeft;
            calls.syncError = c.syncError;
            const auto error = writeFileAtomically(destination, std::string(4096, 'x'));
            EXPECT_EQ(error ? error.message() : "", c.error);
        }
        ::umask(umask);
        EXPECT_EQ(entries(dir.path()), before);
        EXPECT_EQ(readFile(old), c.error.empty() ? std::string(4096, 'x') : "old bytes");
        if (c.error.empty()) {
            EXPECT_EQ(fs::status(destination).permissions(), fs::perms(0644));
        }
    }
}
