#include "tools/text_tool.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fakes/capture_logger.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"

namespace fs = std::filesystem;
using lumeno::testing::CaptureLogger;
namespace key = lumeno::prefs::key;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

class TextToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "lumeno-text-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    ToolRun run(std::vector<std::string> args, const std::string& input) {
        args.insert(args.begin(), {"--config-dir", dir_.string()});
        std::istringstream in(input);
        std::ostringstream out;
        std::ostringstream err;
        const int status = lumeno::tools::runTextTool(args, in, out, err, log_);
        return {status, out.str(), err.str()};
    }

    fs::path writeFile(const std::string& name, const std::string& contents) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }

    // Stores settings the way the service does, in the tool's config directory.
    void storeSettings(bool enabled, const std::string& customJson) {
        lumeno::prefs::PreferencesStore store(dir_ / lumeno::prefs::kSettingsFileName, log_);
        store.setBool(key::kTranscriptionCorrectionsEnabled, enabled);
        store.setData(key::kTranscriptionCustomCorrections, customJson);
        ASSERT_TRUE(store.synchronize());
    }

    fs::path dir_;
    CaptureLogger log_;
};

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

TEST_F(TextToolTest, EnableCorrectsEachLineAndLogsOnlyToTheLogger) {
    const ToolRun result = run({"--enable"}, "john three sixteen\ngod bless\r\n\nnothing here\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "John 3:16\nGod bless\n\nnothing here\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(log_.contains("📝 Applied corrections: john → John"));
}

TEST_F(TextToolTest, StoredSwitchOffLeavesTextUnchanged) {
    const ToolRun result = run({}, "john three sixteen\n");
    EXPECT_EQ(result.out, "john three sixteen\n");
    EXPECT_TRUE(log_.contains("📝 Text corrections disabled"));
}

TEST_F(TextToolTest, StoredCustomCorrectionsAreUsedAndTheFileIsNotTouched) {
    storeSettings(true, R"({"pastor jon": "Pastor Jon"})");
    const std::string before = readAll(dir_ / lumeno::prefs::kSettingsFileName);
    const ToolRun result = run({"--corrections", writeFile("other.json", R"({"god": "the Lord"})").string()}, "pastor jon\n");
    EXPECT_EQ(result.out, "pastor jon\n");  // the file's corrections replace the stored ones

    const ToolRun stored = run({}, "pastor jon and god\n");
    EXPECT_EQ(stored.out, "Pastor Jon and God\n");
    EXPECT_EQ(readAll(dir_ / lumeno::prefs::kSettingsFileName), before);
}

TEST_F(TextToolTest, CorrectionsFileAndNoBiblical) {
    const fs::path file = writeFile("mine.json", R"({"Gods Word": "God's Word", "faith": "Faithful"})");
    const ToolRun result = run({"--enable", "--no-biblical", "--corrections=" + file.string()},
                           "gods word and faith in god\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "God's Word and Faithful in god\n");
}

TEST_F(TextToolTest, FinalPrintsTheRefinedText) {
    const ToolRun result = run({"--enable", "--final"}, "what time is it\nyes we read john three sixteen\n   \n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "What time is it?\nYes, we read John 3:16.\n   \n");
}

TEST_F(TextToolTest, UnusableInputsAreClearErrorsWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string errorContains;
    };
    const std::vector<Case> cases = {
        {{"--corrections", writeFile("a.json", "not json").string()}, "is not a JSON object of corrections"},
        {{"--corrections", writeFile("b.json", R"(["god"])").string()}, "is not a JSON object of corrections"},
        {{"--corrections", writeFile("c.json", R"({"god": 1})").string()}, "the correction for \"god\" is not a string"},
        {{"--corrections", writeFile("d.json", "{\"god\": \"G\xff\"}").string()}, "is not a JSON object of corrections"},
        {{"--corrections", (dir_ / "missing.json").string()}, "cannot read"},
        {{"--corrections"}, "--corrections needs a value"},
        {{"--bogus"}, "unknown argument --bogus"},
    };
    for (const Case& c : cases) {
        const ToolRun result = run(c.args, "god\n");
        EXPECT_EQ(result.status, 2) << c.errorContains;
        EXPECT_EQ(result.out, "") << c.errorContains;
        EXPECT_EQ(result.err.rfind("lumeno-text: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.errorContains), std::string::npos) << result.err;
    }
}

TEST_F(TextToolTest, DamagedSettingsFileIsReportedAndLeftInPlace) {
    const fs::path settings = writeFile(lumeno::prefs::kSettingsFileName, "{ not json");
    const ToolRun result = run({"--enable"}, "god\n");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("is not a settings file"), std::string::npos) << result.err;
    EXPECT_EQ(readAll(settings), "{ not json");
}
