#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fakes/capture_logger.h"
#include "prefs/keys.h"
#include "prefs/preferences_manager.h"
#include "prefs/preferences_store.h"
#include "support/temp_dir.h"

using namespace lumeno;
using namespace lumeno::prefs;
namespace fs = std::filesystem;

namespace {

// The settings file inside a fresh folder.
fs::path settingsFile(const lumeno::testing::TempDir& dir) { return dir.path() / kSettingsFileName; }

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(PreferencesStoreTest, FreshStoreFollowsTheAbsentKeyRules) {
    lumeno::testing::CaptureLogger log;
    auto store = std::make_shared<PreferencesStore>(log);
    PreferencesManager manager(store);
    for (const auto& info : kKeyTable) {
        EXPECT_FALSE(store->hasKey(info.name)) << info.name;
        EXPECT_FALSE(store->boolForKey(info.name)) << info.name;
        EXPECT_EQ(store->doubleForKey(info.name), 0.0) << info.name;
        EXPECT_FALSE(store->stringForKey(info.name)) << info.name;
        EXPECT_FALSE(store->dataForKey(info.name)) << info.name;
    }
    EXPECT_TRUE(manager.useBiblicalTerms());
    EXPECT_EQ(manager.listenerTitle(), "🎧 Audio Stream");
    EXPECT_EQ(manager.listenerSubtitle(), "Assistive Listening Service");
    EXPECT_EQ(manager.speechLanguage(), "en-US");
}

TEST(PreferencesStoreTest, BiblicalTermsDefaultTrueButKeepAnExplicitFalse) {
    lumeno::testing::CaptureLogger log;
    auto store = std::make_shared<PreferencesStore>(log);
    PreferencesManager manager(store);
    store->setBool(key::kTranscriptionUseBiblicalTerms, false);
    EXPECT_FALSE(manager.useBiblicalTerms());
    store->remove(key::kTranscriptionUseBiblicalTerms);
    EXPECT_TRUE(manager.useBiblicalTerms());
}

TEST(PreferencesStoreTest, StreamBitratesAreHeldToWhatTheirCodecCarries) {
    lumeno::testing::CaptureLogger log;
    auto store = std::make_shared<PreferencesStore>(log);
    PreferencesManager manager(store);
    struct Case {
        std::optional<double> kbits;  // absent: no value stored
        int opus, mp3;                // bit/s read back
    };
    const Case cases[] = {
        {std::nullopt, 32000, 48000}, {0.0, 32000, 48000}, {-8.0, 32000, 48000}, {NAN, 32000, 48000},
        {1.0, 6000, 32000},           {40.0, 40000, 40000}, {1e9, 256000, 320000},
    };
    for (const auto& c : cases) {
        for (const char* key : {key::kOpusBitrate, key::kMp3Bitrate})
            c.kbits ? store->setDouble(key, *c.kbits) : store->remove(key);
        EXPECT_EQ(manager.opusBitrate(), c.opus) << c.kbits.value_or(-1);
        EXPECT_EQ(manager.mp3Bitrate(), c.mp3) << c.kbits.value_or(-1);
    }
}

TEST(PreferencesStoreTest, WritingNothingRemovesStringsAndDataButSpacesAreKept) {
    lumeno::testing::CaptureLogger log;
    PreferencesStore store(log);
    store.setString(key::kCustomTitle, "   ");
    EXPECT_EQ(store.stringForKey(key::kCustomTitle), "   ");
    store.setString(key::kCustomTitle, std::nullopt);
    EXPECT_FALSE(store.hasKey(key::kCustomTitle));
    store.setData(key::kLogoImageData, std::string("\x89PNG\0\x01", 6));
    EXPECT_EQ(store.dataForKey(key::kLogoImageData)->size(), 6u);
    EXPECT_FALSE(store.stringForKey(key::kLogoImageData)) << "kinds never mix";
    store.setData(key::kLogoImageData, std::nullopt);
    EXPECT_FALSE(store.hasKey(key::kLogoImageData));
}

TEST(PreferencesStoreTest, EveryKindSurvivesARestart) {
    lumeno::testing::TempDir dir;
    lumeno::testing::CaptureLogger log;
    const std::string binary("\x00\xFF\x10garbage{", 11);
    {
        PreferencesStore store(settingsFile(dir), log);
        store.setBool(key::kIsStreaming, true);
        store.setBool(key::kTranscriptionUseBiblicalTerms, false);
        store.setDouble(key::kLogoTimestamp, 1765000000.25);
        store.setString(key::kCustomTitle, "Église \"St Jean\" 🎧");
        store.setString(key::kSelectedMIDIDevice, "Pad \xFF");  // not UTF-8: kept, not fatal
        store.setData(key::kTranscriptionCustomCorrections, binary);
    }  // destruction saves pending writes
    PreferencesStore reopened(settingsFile(dir), log);
    EXPECT_TRUE(reopened.boolForKey(key::kIsStreaming));
    EXPECT_TRUE(reopened.hasKey(key::kTranscriptionUseBiblicalTerms));
    EXPECT_FALSE(reopened.boolForKey(key::kTranscriptionUseBiblicalTerms));
    EXPECT_EQ(reopened.doubleForKey(key::kLogoTimestamp), 1765000000.25);
    EXPECT_EQ(reopened.stringForKey(key::kCustomTitle), "Église \"St Jean\" 🎧");
    EXPECT_EQ(reopened.stringForKey(key::kSelectedMIDIDevice), "Pad \uFFFD");
    EXPECT_EQ(reopened.dataForKey(key::kTranscriptionCustomCorrections), binary);
    EXPECT_TRUE(log.lines().empty());
}

TEST(PreferencesStoreTest, WritesReachTheDiskSoonWithoutAnExplicitFlush) {
    lumeno::testing::TempDir dir;
    lumeno::testing::CaptureLogger log;
    PreferencesStore store(settingsFile(dir), log, std::chrono::milliseconds(10));
    store.setBool(key::kAutoGainEnabled, true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (readFile(settingsFile(dir)).find("autoGainEnabled") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(readFile(settingsFile(dir)).find("\"autoGainEnabled\": true"), std::string::npos);
    EXPECT_FALSE(fs::exists(settingsFile(dir).string() + ".tmp"));
}

TEST(PreferencesStoreTest, SynchronizeWritesAtOnce) {
    lumeno::testing::TempDir dir;
    lumeno::testing::CaptureLogger log;
    PreferencesStore store(settingsFile(dir), log, std::chrono::hours(1));
    store.setString(key::kSelectedMIDIDevice, "Pad");
    EXPECT_TRUE(store.synchronize());
    EXPECT_NE(readFile(settingsFile(dir)).find("\"selectedMIDIDevice\": \"Pad\""), std::string::npos);
}

TEST(PreferencesStoreTest, AFileThatIsNotAJsonObjectIsMovedAsideAndTheStoreStartsEmpty) {
    const std::string bad[] = {"{not json", "[1,2,3]", ""};
    for (const auto& contents : bad) {
        lumeno::testing::TempDir dir;
        std::ofstream(settingsFile(dir)) << contents;
        lumeno::testing::CaptureLogger log;
        {
            PreferencesStore store(settingsFile(dir), log);
            EXPECT_FALSE(store.boolForKey(key::kIsStreaming));
            store.setBool(key::kIsStreaming, true);
        }
        int aside = 0;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path().filename().string().rfind("settings.json.corrupt-", 0) == 0) {
                ++aside;
                EXPECT_EQ(readFile(entry.path()), contents) << "the operator's file is kept byte for byte";
            }
        EXPECT_EQ(aside, 1) << contents;
        ASSERT_EQ(log.lines().size(), 1u) << contents;
        EXPECT_NE(log.lines()[0].find("moved aside as "), std::string::npos);
        EXPECT_TRUE(PreferencesStore(settingsFile(dir), log).boolForKey(key::kIsStreaming)) << "the new file is valid";
    }
}

TEST(PreferencesStoreTest, AValueOfTheWrongKindCostsOnlyItsOwnKey) {
    struct Case {
        std::string member;
        std::string key;
    };
    const Case cases[] = {
        {R"("isStreaming": null)", "isStreaming"},
        {R"("isStreaming": [true])", "isStreaming"},
        {R"("customTitle": 5)", "customTitle"},
        {R"("logoImageData": {"data": "!!"})", "logoImageData"},
        {R"("midiStartCommand": "not data")", "midiStartCommand"},
        {R"("logoTimestamp": 1e308)", "logoTimestamp"},
        {R"("logoTimestamp": {"double": "inf"})", "logoTimestamp"},
    };
    for (const auto& c : cases) {
        lumeno::testing::TempDir dir;
        std::ofstream(settingsFile(dir)) << R"({"autoGainEnabled": true, )" << c.member << R"(, "customSubtitle": "Nave"})";
        lumeno::testing::CaptureLogger log;
        PreferencesStore store(settingsFile(dir), log);
        EXPECT_TRUE(store.boolForKey(key::kAutoGainEnabled)) << c.member;
        EXPECT_EQ(store.stringForKey(key::kCustomSubtitle), "Nave") << c.member;
        EXPECT_FALSE(store.hasKey(c.key)) << c.member;
        ASSERT_EQ(log.lines().size(), 1u) << c.member;
        EXPECT_NE(log.lines()[0].find("ignoring \"" + c.key + "\""), std::string::npos) << log.lines()[0];
        for (const auto& entry : fs::directory_iterator(dir.path()))
            EXPECT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos) << c.member;
    }
}

TEST(PreferencesStoreTest, ATimestampNoClockCanShowIsRefused) {
    lumeno::testing::CaptureLogger log;
    PreferencesStore store(log);
    store.setDouble(key::kLogoTimestamp, 1765000000.0);
    for (const double bad : {1e308, -1e308, HUGE_VAL, std::nan("")}) store.setDouble(key::kLogoTimestamp, bad);
    EXPECT_EQ(store.doubleForKey(key::kLogoTimestamp), 1765000000.0);
    EXPECT_EQ(log.lines().size(), 4u);
    EXPECT_TRUE(log.containsPrefix("❌ Ignoring an out-of-range value for \"logoTimestamp\": "));
}

TEST(PreferencesStoreTest, TwoWritersOnOneFileNeverShareATemporaryFile) {
    lumeno::testing::TempDir dir;
    lumeno::testing::CaptureLogger log;
    PreferencesStore first(settingsFile(dir), log, std::chrono::hours(1));
    PreferencesStore second(settingsFile(dir), log, std::chrono::hours(1));
    std::atomic<int> failures{0};
    auto writer = [&](PreferencesStore& store, const char* title) {
        for (int i = 0; i < 100; ++i) {
            store.setString(key::kCustomTitle, title + std::to_string(i));
            if (!store.synchronize()) ++failures;
        }
    };
    std::thread a(writer, std::ref(first), "a");
    std::thread b(writer, std::ref(second), "b");
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(log.lines().empty()) << log.lines()[0];
    const auto title = PreferencesStore(settingsFile(dir), log).stringForKey(key::kCustomTitle);
    EXPECT_TRUE(title == "a99" || title == "b99") << title.value_or("(none)");
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << "no temporary file is left";
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
    std::ofstream(folder / "settings.json.tmp-mine") << "{}";  // the operator's own, not one of ours
    EXPECT_FALSE(ConfigFolderLock::acquire(folder, error));
    EXPECT_EQ(error, "another Lumeno is already running with the config folder " + folder.string());
    EXPECT_TRUE(fs::exists(temporaries[0]) && fs::exists(temporaries[1]));
    first.reset();
    EXPECT_TRUE(ConfigFolderLock::acquire(folder, error));
    EXPECT_FALSE(fs::exists(temporaries[0]) || fs::exists(temporaries[1]));
    EXPECT_TRUE(fs::exists(folder / "settings.json.tmp-mine"));
}

// Kept elsewhere (a dotfiles folder) and linked to: the link stays, a damaged file is moved aside
// where it lives, and saves reach the file the link names.
TEST(PreferencesStoreTest, ALinkedSettingsFileStaysALinkAndIsWrittenThrough) {
    lumeno::testing::TempDir dir;
    fs::create_directories(dir.path() / "dotfiles");
    fs::create_directories(dir.path() / "config");
    std::ofstream(dir.path() / "dotfiles" / kSettingsFileName) << "{not json";
    fs::create_symlink("../dotfiles/settings.json", dir.path() / "config" / kSettingsFileName);
    lumeno::testing::CaptureLogger log;
    PreferencesStore store(dir.path() / "config" / kSettingsFileName, log);
    store.setBool(key::kIsStreaming, true);
    ASSERT_TRUE(store.synchronize());
    EXPECT_TRUE(fs::is_symlink(dir.path() / "config" / kSettingsFileName));
    EXPECT_NE(readFile(dir.path() / "dotfiles" / kSettingsFileName).find("\"isStreaming\": true"), std::string::npos);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path() / "dotfiles")) names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(names[0].starts_with("settings.json.corrupt-") || names[1].starts_with("settings.json.corrupt-"));
}

// Headings on every page load: however a title or subtitle arrives (--set and the window write
// through setString; a hand-edited file is loaded), past 200 characters it is cut, at a
// character's boundary, with one log line.
TEST(PreferencesStoreTest, TitlesOverTheLimitAreCutAtACharacterBoundaryHoweverTheyArrive) {
    struct Case {
        const char* key;
        std::string given, kept;
    };
    const Case cases[] = {
        {key::kCustomTitle, std::string(1 << 20, 'x'), std::string(200, 'x')},
        {key::kCustomSubtitle, std::string(199, 'a') + "\u00e9z", std::string(199, 'a') + "\u00e9"},  // a 2-byte 200th
        {key::kCustomTitle, std::string(200, 'x'), std::string(200, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " of " + std::to_string(c.given.size()) + " bytes");
        const int lines = c.given == c.kept ? 0 : 1;
        lumeno::testing::CaptureLogger log;
        PreferencesStore memory(log);
        memory.setString(c.key, c.given);
        EXPECT_EQ(memory.stringForKey(c.key), c.kept);
        EXPECT_EQ(log.lines().size(), static_cast<std::size_t>(lines));

        lumeno::testing::TempDir dir;
        std::ofstream(settingsFile(dir)) << "{\"" << c.key << "\": \"" << c.given << "\"}";
        EXPECT_EQ(PreferencesStore(settingsFile(dir), log).stringForKey(c.key), c.kept);
        EXPECT_EQ(log.lines().size(), static_cast<std::size_t>(2 * lines));
    }
}

TEST(PreferencesStoreTest, UnwritableFolderIsLoggedOnceNotRepeatedly) {
    lumeno::testing::TempDir dir;
    lumeno::testing::CaptureLogger log;
    // A path whose parent is a file: no save can ever succeed.
    std::ofstream(dir.path() / "file") << "x";
    PreferencesStore store(dir.path() / "file" / kSettingsFileName, log, std::chrono::milliseconds(1));
    store.setBool(key::kIsStreaming, true);
    EXPECT_FALSE(store.synchronize());
    store.setBool(key::kIsStreaming, false);
    EXPECT_FALSE(store.synchronize());
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.containsPrefix("❌ Could not save settings to "));
    EXPECT_FALSE(store.boolForKey(key::kIsStreaming)) << "memory keeps working";
}

TEST(PreferencesStoreTest, ReadersSeeOldOrNewValuesWhileAWriterChangesKeys) {
    lumeno::testing::TempDir dir;
    lumeno::testing::CaptureLogger log;
    PreferencesStore store(settingsFile(dir), log, std::chrono::milliseconds(1));
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!done) {
                // The writer always stores a title equal to the language: a mixed pair is fine
                // (two keys), but each value must be whole.
                const auto title = store.stringForKey(key::kCustomTitle).value_or("title-0");
                if (title.rfind("title-", 0) != 0) ++torn;
                (void)store.boolForKey(key::kSpeechRecognitionEnabled);
            }
        });
    for (int i = 0; i < 2000; ++i) {
        store.setString(key::kCustomTitle, "title-" + std::to_string(i));
        store.setBool(key::kSpeechRecognitionEnabled, i % 2 == 0);
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_TRUE(store.synchronize());
    EXPECT_EQ(PreferencesStore(settingsFile(dir), log).stringForKey(key::kCustomTitle), "title-1999");
}
