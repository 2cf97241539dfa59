#include "tools/text_tool.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "fakes/capture_logger.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "support/temp_dir.h"

namespace key = lumeno::prefs::key;

namespace {

class TextToolTest : public ::testing::Test {
protected:
    // The tool's status, and what it printed on standard output and standard error.
    std::tuple<int, std::string, std::string> run(std::vector<std::string> args, const std::string& input) {
        args.insert(args.begin(), {"--config-dir", dir_.str()});
        std::istringstream in(input);
        std::ostringstream out, err;
        const int status = lumeno::tools::runTextTool(args, in, out, err, log_);
        return {status, out.str(), err.str()};
    }
    std::string writeFile(const std::string& name, const std::string& contents) {
        std::ofstream(dir_ / name, std::ios::binary) << contents;
        return dir_ / name;
    }
    std::string settings() const {
        std::ostringstream bytes;
        bytes << std::ifstream(dir_ / lumeno::prefs::kSettingsFileName, std::ios::binary).rdbuf();
        return bytes.str();
    }

    lumeno::testing::TempDir dir_{"lumeno-text"};
    lumeno::testing::CaptureLogger log_;
};

}  // namespace

// The tool runs beside the service: it reads the service's settings and never writes them, not
// even a damaged file. (Its corrections are the engine's; the package test runs it once.)
TEST_F(TextToolTest, StoredSettingsAreUsedAndNeverWritten) {
    {
        lumeno::prefs::PreferencesStore store(dir_ / lumeno::prefs::kSettingsFileName, log_);
        store.setBool(key::kTranscriptionCorrectionsEnabled, true);
        store.setData(key::kTranscriptionCustomCorrections, R"({"pastor jon": "Pastor Jon"})");
        ASSERT_TRUE(store.synchronize());
    }
    const std::string before = settings();
    // A corrections file replaces the stored corrections; --final adds the punctuation pass.
    const std::string other = writeFile("other.json", R"({"god": "the Lord"})");
    EXPECT_EQ(run({"--corrections", other}, "pastor jon\n"), std::make_tuple(0, "pastor jon\n", ""));
    EXPECT_EQ(run({"--final"}, "pastor jon and god\n"), std::make_tuple(0, "Pastor Jon and God.\n", ""));
    EXPECT_EQ(settings(), before);

    writeFile(lumeno::prefs::kSettingsFileName, "{ not json");
    const auto [status, out, err] = run({"--enable"}, "god\n");
    EXPECT_EQ(status, 2);
    EXPECT_NE(err.find("is not a settings file"), std::string::npos) << err;
    EXPECT_EQ(settings(), "{ not json");
}
