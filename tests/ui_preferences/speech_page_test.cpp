#include <QCheckBox>
#include <QComboBox>
#include <QLabel>

#include "app/view_controller.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "preferences_harness.h"
#include "ui/preferences/speech_page.h"

using namespace lumeno;
namespace key = prefs::key;

namespace {

class SpeechPageTest : public lumeno::testing::PreferencesTest {
protected:
    ui::SpeechPage& page() { return window_ ? window_->speech() : makeWindow().speech(); }
    std::string status() { return page().speechStatusLabel()->text().toStdString(); }
};

}  // namespace

// Captions would silently never come: the operator is told why. (The Linux recogniser is always
// authorized, so a refusal is not shown here.)
TEST_F(SpeechPageTest, StatusSaysWhenTheModelCouldNotBeLoaded) {
    speechPlatform_.available = false;
    store_->setBool(key::kSpeechRecognitionEnabled, true);
    EXPECT_EQ(status(), "❌ The speech model for English (United States) could not be loaded");
    EXPECT_TRUE(page().speechEnabledCheckbox()->isChecked());
}

// The pop-ups store their choice, and the status lines say at once what captions will use.
TEST_F(SpeechPageTest, PopUpsStoreTheirChoiceAndTheStatusLinesFollow) {
    speechPlatform_.languageModelStatus = {speech::LanguageModelChoice::church, ""};
    QComboBox* model = page().languageModelPopup();
    EXPECT_EQ(model->currentData().toString(), "church");
    EXPECT_EQ(page().languageModelStatusLabel()->text(), "Captions use the church language model.");
    speechPlatform_.languageModelStatus = {speech::LanguageModelChoice::general, "the church language model is not installed"};
    model->setCurrentIndex(1);
    emit model->activated(1);
    EXPECT_EQ(store_->stringForKey(key::kSpeechLanguageModel), "general");
    EXPECT_EQ(speechPlatform_.settingsMade.back().languageModel, speech::LanguageModelChoice::general);
    EXPECT_EQ(page().languageModelStatusLabel()->text(),
              "⚠️ Captions use the general language model: the church language model is not installed.");

    QComboBox* language = page().speechLanguagePopup();
    language->setCurrentIndex(language->findData("pt-BR"));
    emit language->activated(language->currentIndex());
    EXPECT_EQ(store_->stringForKey(key::kSpeechRecognitionLanguage), "pt-BR");
    EXPECT_EQ(status(), "❌ No speech model for Portuguese (Brazil)");

    // Reopened: the stored choices are shown, and a locale set by hand outside the list is shown as it is rather than as English.
    store_->setString(key::kSpeechRecognitionLanguage, std::string("de-AT"));
    makeWindow();
    EXPECT_EQ(page().speechLanguagePopup()->currentText(), "de-AT");
    EXPECT_EQ(page().languageModelPopup()->currentData().toString(), "general");
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
