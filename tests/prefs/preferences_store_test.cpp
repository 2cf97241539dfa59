#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fakes/capture_logger.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "support/temp_dir.h"

using namespace lumeno;
using namespace lumeno::prefs;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Files in `folder` whose names contain `part`.
int filesNamed(const fs::path& folder, const std::string& part) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) count += entry.path().filename().string().find(part) != std::string::npos;
    return count;
}

class PreferencesStoreTest : public ::testing::Test {
protected:
    lumeno::testing::TempDir dir_;
    lumeno::testing::CaptureLogger log_;
    const fs::path file_ = dir_.path() / kSettingsFileName;
};

}  // namespace

TEST_F(PreferencesStoreTest, EveryKindSurvivesARestartAndNothingRemovesAKey) {
    const std::string binary("\x00\xFF\x10garbage{", 11);
    {
        PreferencesStore store(file_, log_);
        store.setBool(key::kIsStreaming, true);
        store.setBool(key::kTranscriptionUseBiblicalTerms, false);
        store.setDouble(key::kLogoTimestamp, 1765000000.25);
        store.setString(key::kCustomTitle, "Église \"St Jean\" 🎧");
        store.setString(key::kSelectedMIDIDevice, "Pad \xFF");  // not UTF-8: kept, not fatal
        store.setData(key::kTranscriptionCustomCorrections, binary);
        store.setData(key::kLogoImageData, "logo");
        store.setData(key::kLogoImageData, std::nullopt);
    }  // destruction saves pending writes
    PreferencesStore reopened(file_, log_);
    EXPECT_TRUE(reopened.boolForKey(key::kIsStreaming));
    EXPECT_TRUE(reopened.hasKey(key::kTranscriptionUseBiblicalTerms));
    EXPECT_FALSE(reopened.boolForKey(key::kTranscriptionUseBiblicalTerms));
    EXPECT_EQ(reopened.doubleForKey(key::kLogoTimestamp), 1765000000.25);
    EXPECT_EQ(reopened.stringForKey(key::kCustomTitle), "Église \"St Jean\" 🎧");
    EXPECT_EQ(reopened.stringForKey(key::kSelectedMIDIDevice), "Pad \uFFFD");
    EXPECT_EQ(reopened.dataForKey(key::kTranscriptionCustomCorrections), binary);
    EXPECT_FALSE(reopened.stringForKey(key::kTranscriptionCustomCorrections)) << "kinds never mix";
    EXPECT_FALSE(reopened.hasKey(key::kLogoImageData));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(PreferencesStoreTest, AFileThatIsNotAJsonObjectIsMovedAsideAndTheStoreStartsEmpty) {
    for (const std::string contents : {"{not json", "[1,2,3]", ""}) {
        lumeno::testing::TempDir dir;
        std::ofstream(dir.path() / kSettingsFileName) << contents;
        lumeno::testing::CaptureLogger log;
        {
            PreferencesStore store(dir.path() / kSettingsFileName, log);
            EXPECT_FALSE(store.boolForKey(key::kIsStreaming));
            store.setBool(key::kIsStreaming, true);
        }
        EXPECT_EQ(filesNamed(dir.path(), "settings.json.corrupt-"), 1) << contents;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path().filename().string().starts_with("settings.json.corrupt-")) {
                EXPECT_EQ(readFile(entry.path()), contents) << "the operator's file is kept byte for byte";
            }
        EXPECT_EQ(log.lines().size(), 1u) << contents;
        EXPECT_TRUE(PreferencesStore(dir.path() / kSettingsFileName, log).boolForKey(key::kIsStreaming)) << "the new file is valid";
    }
}

TEST_F(PreferencesStoreTest, AValueOfTheWrongKindCostsOnlyItsOwnKey) {
    struct Case {
        std::string member;
        std::string key;
    };
    const Case cases[] = {
        {R"("isStreaming": [true])", "isStreaming"},
        {R"("logoImageData": {"data": "!!"})", "logoImageData"},
        {R"("logoTimestamp": 1e308)", "logoTimestamp"},
    };
    for (const auto& c : cases) {
        std::ofstream(file_) << R"({"autoGainEnabled": true, )" << c.member << R"(, "customSubtitle": "Nave"})";
        log_.clear();
        PreferencesStore store(file_, log_);
        EXPECT_TRUE(store.boolForKey(key::kAutoGainEnabled)) << c.member;
        EXPECT_EQ(store.stringForKey(key::kCustomSubtitle), "Nave") << c.member;
        EXPECT_FALSE(store.hasKey(c.key)) << c.member;
        EXPECT_EQ(log_.lines().size(), 1u) << c.member;
        EXPECT_EQ(filesNamed(dir_.path(), "settings.json.corrupt-"), 0) << c.member;
    }
}

// Headings on every page load: however a title or subtitle arrives (--set and the window write
// through setString; a hand-edited file is loaded), past 200 characters it is cut, at a
// character's boundary, with one log line.
TEST_F(PreferencesStoreTest, TitlesOverTheLimitAreCutAtACharacterBoundaryHoweverTheyArrive) {
    struct Case {
        const char* key;
        std::string given, kept;
    };
    const Case cases[] = {
        {key::kCustomTitle, std::string(1 << 20, 'x'), std::string(200, 'x')},
        {key::kCustomSubtitle, std::string(199, 'a') + "\u00e9z", std::string(199, 'a') + "\u00e9"},  // a 2-byte 200th
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " of " + std::to_string(c.given.size()) + " bytes");
        const std::size_t lines = c.given == c.kept ? 0 : 1;
        log_.clear();
        PreferencesStore memory(log_);
        memory.setString(c.key, c.given);
        EXPECT_EQ(memory.stringForKey(c.key), c.kept);
        EXPECT_EQ(log_.lines().size(), lines);
        std::ofstream(file_) << "{\"" << c.key << "\": \"" << c.given << "\"}";
        EXPECT_EQ(PreferencesStore(file_, log_).stringForKey(c.key), c.kept);
        EXPECT_EQ(log_.lines().size(), 2 * lines);
    }
}

// Kept elsewhere (a dotfiles folder) and linked to: the link stays, a damaged file is moved aside
// where it lives, and saves reach the file the link names.
TEST_F(PreferencesStoreTest, ALinkedSettingsFileStaysALinkAndIsWrittenThrough) {
    fs::create_directories(dir_.path() / "dotfiles");
    std::ofstream(dir_.path() / "dotfiles" / kSettingsFileName) << "{not json";
    fs::create_symlink("dotfiles/settings.json", file_);
    PreferencesStore store(file_, log_);
    store.setBool(key::kIsStreaming, true);
    ASSERT_TRUE(store.synchronize());
    EXPECT_TRUE(fs::is_symlink(file_));
    EXPECT_NE(readFile(dir_.path() / "dotfiles" / kSettingsFileName).find("\"isStreaming\": true"), std::string::npos);
    EXPECT_EQ(filesNamed(dir_.path() / "dotfiles", "settings.json.corrupt-"), 1);
}

// Readers on other threads see whole values, old or new; writers on two threads lose none of
// each other's changes; the file ends with the last of them soon, without an explicit flush.
TEST_F(PreferencesStoreTest, ConcurrentReadersSeeWholeValuesAndConcurrentWritersLoseNothing) {
    PreferencesStore store(file_, log_, 1ms);
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::thread reader([&] {
        while (!done) torn += !store.stringForKey(key::kCustomTitle).value_or("title-").starts_with("title-");
    });
    auto writer = [&](char name) {
        for (int i = 0; i < 500; ++i) {
            store.setBool(name + std::to_string(i), true);
            if (name == 'a') store.setString(key::kCustomTitle, "title-" + std::to_string(i));
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    int kept = 0;
    for (int i = 0; i < 500; ++i) kept += store.hasKey("a" + std::to_string(i)) + store.hasKey("b" + std::to_string(i));
    EXPECT_EQ(kept, 1000);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (readFile(file_).find("title-499") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(PreferencesStore(file_, log_).stringForKey(key::kCustomTitle), "title-499");
}

// The holder alone clears what a save killed midway left: another's save may be under way.
TEST(ConfigFolderLockTest, OneHolderAtATimeWhoAloneClearsStaleTemporaries) {
    lumeno::testing::TempDir dir;
    const fs::path folder = dir.path() / "config";
    std::string error;
    auto first = ConfigFolderLock::acquire(folder, error);
    ASSERT_TRUE(first) << error;
    const fs::path temporaries[] = {folder / ".settings.json.tmp-a1B2c3", folder / "settings.json.tmp-Xy09zq"};
    for (const auto& t : temporaries) std::ofstream(t) << "{";
    EXPECT_FALSE(ConfigFolderLock::acquire(folder, error));
    EXPECT_EQ(error, "another Lumeno is already running with the config folder " + folder.string());
    EXPECT_TRUE(fs::exists(temporaries[0]) && fs::exists(temporaries[1]));
    first.reset();
    EXPECT_TRUE(ConfigFolderLock::acquire(folder, error));
    EXPECT_FALSE(fs::exists(temporaries[0]) || fs::exists(temporaries[1]));
}
