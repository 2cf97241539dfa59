#include "core/atomic_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "support/failing_file_calls.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using lumeno::core::writeFileAtomically;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// Whatever fails, the old file stays whole; either way nothing of ours is left beside it.
TEST(AtomicFileTest, ReplacesTheFileOrReportsWhyAndKeepsWhatWasThere) {
    struct Case {
        const char* name;
        std::optional<std::size_t> spaceLeft;
        int syncError;
        std::string error;
    };
    const Case cases[] = {
        {"nothing fails", std::nullopt, 0, ""},
        {"the disk fills midway, after a short write", 1000, 0, "No space left on device"},
        {"the data cannot be synced", std::nullopt, EIO, "Input/output error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lumeno::testing::TempDir dir;
        const fs::path destination = dir.path() / "out.png";
        std::ofstream(destination) << "old bytes";
        const auto before = entries(dir.path());
        {
            lumeno::testing::FailingFileCalls calls;
            calls.spaceLeft = c.spaceLeft;
            calls.syncError = c.syncError;
            const auto error = writeFileAtomically(destination, std::string(4096, 'x'));
            EXPECT_EQ(error ? error.message() : "", c.error);
        }
        EXPECT_EQ(entries(dir.path()), before);
        EXPECT_EQ(readFile(destination), c.error.empty() ? std::string(4096, 'x') : "old bytes");
    }
}
