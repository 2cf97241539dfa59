#include "tools/text_tool.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fakes/capture_logger.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "support/temp_dir.h"

using lumeno::testing::CaptureLogger;
namespace key = lumeno::prefs::key;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string readAll(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

class TextToolTest : public ::testing::Test {
protected:
    ToolRun run(std::vector<std::string> args, const std::string& input) {
        args.insert(args.begin(), {"--config-dir", dir_.str()});
        std::istringstream in(input);
        std::ostringstream out;
        std::ostringstream err;
        const int status = lumeno::tools::runTextTool(args, in, out, err, log_);
        return {status, out.str(), err.str()};
    }

    std::string writeFile(const std::string& name, const std::string& contents) {
        std::ofstream(dir_ / name, std::ios::binary) << contents;
        return dir_ / name;
    }

    lumeno::testing::TempDir dir_{"lumeno-text"};
    const std::string settings_ = dir_ / lumeno::prefs::kSettingsFileName;
    CaptureLogger log_;
};

}  // namespace

TEST_F(TextToolTest, EnableCorrectsEachLineAndLogsOnlyToTheLogger) {
    const ToolRun result = run({"--enable"}, "john three sixteen\ngod bless\r\n\nnothing here\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "John 3:16\nGod bless\n\nnothing here\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(log_.contains("📝 Applied corrections: john → John"));
    EXPECT_EQ(run({}, "john three sixteen\n").out, "john three sixteen\n");  // switched off by default
}

TEST_F(TextToolTest, CorrectionsFileAndNoBiblical) {
    const std::string file = writeFile("mine.json", R"({"Gods Word": "God's Word", "faith": "Faithful"})");
    EXPECT_EQ(run({"--enable", "--no-biblical", "--corrections=" + file}, "gods word and faith in god\n").out,
              "God's Word and Faithful in god\n");
}

TEST_F(TextToolTest, FinalPrintsTheRefinedText) {
    EXPECT_EQ(run({"--enable", "--final"}, "what time is it\nyes we read john three sixteen\n   \n").out,
              "What time is it?\nYes, we read John 3:16.\n   \n");
}

TEST_F(TextToolTest, StoredSettingsAreUsedAndNeverWritten) {
    {
        lumeno::prefs::PreferencesStore store(settings_, log_);  // as the service stores them
        store.setBool(key::kTranscriptionCorrectionsEnabled, true);
        store.setData(key::kTranscriptionCustomCorrections, R"({"pastor jon": "Pastor Jon"})");
        ASSERT_TRUE(store.synchronize());
    }
    const std::string before = readAll(settings_);
    // A corrections file replaces the stored corrections.
    EXPECT_EQ(run({"--corrections", writeFile("other.json", R"({"god": "the Lord"})")}, "pastor jon\n").out,
              "pastor jon\n");
    EXPECT_EQ(run({}, "pastor jon and god\n").out, "Pastor Jon and God\n");
    EXPECT_EQ(readAll(settings_), before);
}

TEST_F(TextToolTest, UnusableInputsAreClearErrorsWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string errorContains;
    };
    const std::vector<Case> cases = {
        {{"--corrections", writeFile("a.json", "not json")}, "is not a JSON object of corrections"},
        {{"--corrections", writeFile("c.json", R"({"god": 1})")}, "the correction for \"god\" is not a string"},
        {{"--corrections", writeFile("d.json", "{\"god\": \"G\xff\"}")}, "is not a JSON object of corrections"},
        {{"--corrections", dir_ / "missing.json"}, "cannot read"},
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
    writeFile(lumeno::prefs::kSettingsFileName, "{ not json");
    const ToolRun result = run({"--enable"}, "god\n");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("is not a settings file"), std::string::npos) << result.err;
    EXPECT_EQ(readAll(settings_), "{ not json");
}
