#include "app/options.h"

#include <gtest/gtest.h>

#include "fakes/capture_logger.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"

using namespace lumeno;
using lumeno::app::applySettings;
namespace key = prefs::key;

TEST(OptionsTest, RefusesMalformedCommandLines) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"--demo", "--input-file", "a.wav"}, "--demo and --input-file cannot be used together"},
        {{"--input-file"}, "--input-file needs a WAV file"},
        {{"--port", "80x"}, "--port needs a number from 0 to 65535, not '80x'"},
        {{"--port", "65536"}, "--port needs a number from 0 to 65535, not '65536'"},
        {{"--set", "=true"}, "--set needs KEY=VALUE"},
        {{"--export-transcript"}, "--export-transcript needs a file name ending in .srt or .txt"},
        {{"--session", "2026-12-07_10-00-00"}, "--session only goes with --export-transcript"},
    };
    for (const auto& c : cases) {
        const auto parsed = app::parseOptions(c.args);
        EXPECT_FALSE(parsed.options) << c.error;
        EXPECT_EQ(parsed.error, c.error);
    }
}

// --help, --version and --save-qr run without a display in the command-line tests.
TEST(OptionsTest, OnlyARunThatOpensTheWindowNeedsADisplay) {
    struct Case {
        std::vector<std::string> args;
        bool window;
    };
    const Case cases[] = {
        {{}, true},
        {{"--verbose", "--port", "9000"}, true},
        {{"--headless"}, false},
        {{"--list-midi"}, false},
        {{"--list-devices"}, false},
        {{"--learn-midi", "start"}, false},
        {{"--export-transcript", "service.srt"}, false},
    };
    for (const auto& c : cases) {
        const auto parsed = app::parseOptions(c.args);
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_EQ(app::opensWindow(*parsed.options), c.window) << (c.args.empty() ? "no options" : c.args[0]);
    }
    EXPECT_TRUE(app::parseOptions({"--verbose"}).options->verbose);
}

TEST(ApplySettingsTest, StoresEachValueWithItsKeysKindOrNothingAtAll) {
    lumeno::testing::CaptureLogger log;
    prefs::PreferencesStore store(log);
    store.setString(key::kCustomSubtitle, "old");
    EXPECT_EQ(applySettings(store, {{"isStreaming", "true"}, {"autoGainEnabled", "no"}, {"logoTimestamp", "1700000000.5"},
                                    {"customTitle", "Sunday Service"}, {"customSubtitle", ""}}),
              "");
    EXPECT_TRUE(store.boolForKey(key::kIsStreaming));
    EXPECT_TRUE(store.hasKey(key::kAutoGainEnabled));
    EXPECT_FALSE(store.boolForKey(key::kAutoGainEnabled));
    EXPECT_DOUBLE_EQ(store.doubleForKey(key::kLogoTimestamp), 1700000000.5);
    EXPECT_EQ(store.stringForKey(key::kCustomTitle), "Sunday Service");
    EXPECT_FALSE(store.hasKey(key::kCustomSubtitle));  // an empty value removes

    struct Case {
        std::pair<std::string, std::string> bad;
        std::string error;
    };
    const Case cases[] = {
        {{"autoGainEnabled", "maybe"}, "autoGainEnabled takes true or false, not 'maybe'"},
        {{"logoTimestamp", "nan"}, "logoTimestamp takes a number, not 'nan'"},
        {{"speechLanguageModel", "bible"}, "speechLanguageModel takes church or general, not 'bible'"},
        {{"speechVocabulary", "Okonkwo"}, "speechVocabulary: the vocabulary is not a JSON list"},
    };
    for (const auto& c : cases) {
        prefs::PreferencesStore fresh(log);
        EXPECT_EQ(applySettings(fresh, {{"isStreaming", "true"}, c.bad}), c.error);
        EXPECT_FALSE(fresh.hasKey(key::kIsStreaming)) << c.error;  // nothing is written
    }
}
