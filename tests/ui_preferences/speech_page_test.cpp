#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "app/view_controller.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "preferences_harness.h"
#include "ui/preferences/speech_page.h"

using namespace lumeno;
using speech::AuthorizationStatus;
namespace key = prefs::key;

namespace {

class SpeechPageTest : public lumeno::testing::PreferencesTest {
protected:
    ui::SpeechPage& page() { return window_ ? window_->speech() : makeWindow().speech(); }
    std::string status() { return page().speechStatusLabel()->text().toStdString(); }
};

}  // namespace

// The Linux recogniser is always authorized; a refusal is kept to one row.
TEST_F(SpeechPageTest, StatusLineFollowsThePermissionAndTheLanguagesModel) {
    struct Case {
        AuthorizationStatus permission;
        const char* language;
        bool speechOn;
        bool available;  // whether the recogniser could load its model
        std::string status;
    };
    const std::vector<Case> cases = {
        {AuthorizationStatus::denied, "en-US", true, true, "❌ Access denied - Enable in System Preferences"},
        {AuthorizationStatus::authorized, "en-US", false, true, "✓ Ready - Disabled"},
        {AuthorizationStatus::authorized, "en-US", true, true, "✓ Ready - Ready"},
        {AuthorizationStatus::authorized, "fr-FR", true, true, "❌ No speech model for French (France)"},
        {AuthorizationStatus::authorized, "en-US", true, false,
         "❌ The speech model for English (United States) could not be loaded"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        window_.reset();
        speech_.reset();
        speechPlatform_.status = c.permission;
        speechPlatform_.available = c.available;
        store_->setString(key::kSpeechRecognitionLanguage, std::string(c.language));
        store_->setBool(key::kSpeechRecognitionEnabled, c.speechOn);
        EXPECT_EQ(status(), c.status);
        EXPECT_EQ(page().speechEnabledCheckbox()->isEnabled(), c.permission == AuthorizationStatus::authorized);
        EXPECT_EQ(page().speechEnabledCheckbox()->isChecked(), c.speechOn);
    }
}

TEST_F(SpeechPageTest, ChoosingALanguageStoresItAndSaysAtOnceWhetherItsModelIsThere) {
    store_->setString(key::kSpeechRecognitionLanguage, std::string("de-DE"));
    QComboBox* popup = page().speechLanguagePopup();
    EXPECT_EQ(popup->currentData().toString(), "de-DE");
    popup->setCurrentIndex(popup->findData("pt-BR"));
    emit popup->activated(popup->currentIndex());
    EXPECT_EQ(store_->stringForKey(key::kSpeechRecognitionLanguage), "pt-BR");
    EXPECT_EQ(status(), "❌ No speech model for Portuguese (Brazil)");

    // A locale set by hand outside the list is shown as it is rather than as English.
    store_->setString(key::kSpeechRecognitionLanguage, std::string("de-AT"));
    makeWindow();
    EXPECT_EQ(page().speechLanguagePopup()->currentText(), "de-AT");
}

// The main window's "Live Transcription" switch and this box are two views of one setting:
// each follows the other, and following never runs the other's action (which would start or
// stop the session a second time).
TEST_F(SpeechPageTest, BoxAndTheMainWindowsSwitchStartAndStopTheSessionAndFollowEachOther) {
    lumeno::testing::FakeCaptureSource source;
    auto view = std::make_shared<lumeno::testing::FakeMainView>();
    QCheckBox* box = page().speechEnabledCheckbox();
    app::ViewController::Services services{queue_, background_, notifications_, log_, preferences_, source, source,
                                           [](auto) { return std::make_shared<lumeno::testing::FakeListenerServer>(); }};
    services.speech = speech_;
    auto controller = app::ViewController::create(services, view);
    controller->viewDidLoad();
    queue_.runUntilIdle();

    box->click();
    queue_.runUntilIdle();
    EXPECT_TRUE(store_->boolForKey(key::kSpeechRecognitionEnabled));
    EXPECT_TRUE(speech_->isRecognizing());
    EXPECT_EQ(view->speechChecked, true);
    EXPECT_EQ(status(), "✓ Ready - Recognizing");
    for (const bool on : {false, true}) {
        controller->toggleSpeech(on);
        queue_.runUntilIdle();
        EXPECT_EQ(box->isChecked(), on);
        EXPECT_EQ(status(), on ? "✓ Ready - Recognizing" : "✓ Ready - Disabled");
    }
    box->click();
    queue_.runUntilIdle();
    EXPECT_FALSE(speech_->isRecognizing());
    EXPECT_EQ(view->speechChecked, false);

    // Two starts, one from each window, and the main window's own line only for its own stop.
    EXPECT_EQ(speechPlatform_.tasks.size(), 2u);
    EXPECT_EQ(log_.count("🎤 Speech recognition disabled"), 1);
    controller->cleanup();
}

// The language model pop-up shows and stores the choice; the line under the status says which
// model captions use and, when the church model is not the one, why.
TEST_F(SpeechPageTest, LanguageModelPopUpStoresTheChoiceAndTheStatusSaysWhichModelIsInUse) {
    speechPlatform_.languageModelStatus = {speech::LanguageModelChoice::church, ""};
    QComboBox* popup = page().languageModelPopup();
    EXPECT_EQ(popup->currentData().toString(), "church");
    EXPECT_EQ(page().languageModelStatusLabel()->text(), "Captions use the church language model.");

    speechPlatform_.languageModelStatus = {speech::LanguageModelChoice::general, "the church language model is not installed"};
    popup->setCurrentIndex(1);
    emit popup->activated(1);
    EXPECT_EQ(store_->stringForKey(key::kSpeechLanguageModel), "general");
    EXPECT_EQ(speechPlatform_.settingsMade.back().languageModel, speech::LanguageModelChoice::general);
    EXPECT_EQ(page().languageModelStatusLabel()->text(),
              "⚠️ Captions use the general language model: the church language model is not installed.");
    window_.reset();
    EXPECT_EQ(page().languageModelPopup()->currentData().toString(), "general");
}
