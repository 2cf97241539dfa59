#include "app/options.h"

#include <gtest/gtest.h>

#include "fakes/capture_logger.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"

using namespace lumeno;
using lumeno::app::applySettings;
using lumeno::app::parseOptions;

TEST(OptionsTest, RefusesMalformedCommandLines) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"--demo", "--input-file", "a.wav"}, "--demo and --input-file cannot be used together"},
        {{"--input-file"}, "--input-file needs a WAV file"},
        {{"--device"}, "--device needs a device name (see --list-devices)"},
        {{"--port", "80x"}, "--port needs a number from 0 to 65535, not '80x'"},
        {{"--set", "=true"}, "--set needs KEY=VALUE"},
        {{"--loud"}, "unknown option '--loud'"},
    };
    for (const auto& c : cases) {
        const auto parsed = parseOptions(c.args);
        EXPECT_FALSE(parsed.options) << c.error;
        EXPECT_EQ(parsed.error, c.error);
    }
}

TEST(ApplySettingsTest, StoresEachValueWithItsKeysKind) {
    lumeno::testing::CaptureLogger log;
    prefs::PreferencesStore store(log);
    store.setString(prefs::key::kCustomSubtitle, "old");
    const auto error = applySettings(store, {{"isStreaming", "true"},
                                             {"autoGainEnabled", "no"},
                                             {"logoTimestamp", "1700000000.5"},
                                             {"customTitle", "Sunday Service"},
                                             {"customSubtitle", ""}});
    EXPECT_EQ(error, "");
    EXPECT_TRUE(store.boolForKey(prefs::key::kIsStreaming));
    EXPECT_TRUE(store.hasKey(prefs::key::kAutoGainEnabled));
    EXPECT_FALSE(store.boolForKey(prefs::key::kAutoGainEnabled));
    EXPECT_DOUBLE_EQ(store.doubleForKey(prefs::key::kLogoTimestamp), 1700000000.5);
    EXPECT_EQ(store.stringForKey(prefs::key::kCustomTitle), "Sunday Service");
    EXPECT_FALSE(store.hasKey(prefs::key::kCustomSubtitle));
}

TEST(ApplySettingsTest, OneBadValueRefusesTheWholeCommandLine) {
    struct Case {
        std::pair<std::string, std::string> bad;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"isStreamin", "true"}, "unknown setting 'isStreamin'"},
        {{"autoGainEnabled", "maybe"}, "autoGainEnabled takes true or false, not 'maybe'"},
        {{"logoTimestamp", "soon"}, "logoTimestamp takes a number, not 'soon'"},
        {{"logoTimestamp", "nan"}, "logoTimestamp takes a number, not 'nan'"},
    };
    for (const auto& c : cases) {
        lumeno::testing::CaptureLogger log;
        prefs::PreferencesStore store(log);
        EXPECT_EQ(applySettings(store, {{"isStreaming", "true"}, c.bad}), c.error);
        EXPECT_FALSE(store.hasKey(prefs::key::kIsStreaming)) << c.error;
    }
}
