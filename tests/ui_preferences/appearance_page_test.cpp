#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "preferences_harness.h"
#include "ui/preferences/appearance_page.h"

using namespace lumeno;
using lumeno::testing::PreferencesTest;
namespace key = prefs::key;

// Each file the operator may pick: what is stored, what is said, and whether the change is announced.
TEST_F(PreferencesTest, ChosenLogoIsCheckedByItsBytesAndSizeBeforeItIsStored) {
    struct Case {
        const char* name;
        QByteArray bytes;
        const char* storedExtension;  // null: refused
        const char* alert;
    };
    QByteArray huge = imageBytes();
    huge.append(QByteArray(3 * 1024 * 1024, '\0'));  // a valid PNG with 3 MiB of trailing bytes
    const std::vector<Case> cases = {
        {"logo.png", imageBytes(), "png", nullptr},
        {"logo.SVG", svgBytes(), "svg", nullptr},
        {"photo.png", imageBytes("JPG"), "jpg", nullptr},  // misnamed: stored as what it is
        {"broken.png", imageBytes().left(30), nullptr, "Unable to load image. Please select a valid image file."},
        {"huge.png", huge, nullptr, "The image is larger than 2 MB. Please select a smaller image file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store_->setBool(key::kUseCustomLogo, true);
        store_->setData(key::kLogoImageData, std::string("previous"));
        store_->setString(key::kLogoFileExtension, std::string("gif"));
        store_->setDouble(key::kLogoTimestamp, 5.0);
        auto& page = makeWindow().appearance();
        didChangePosts_ = 0;
        dialogs_.alerts.clear();
        dialogs_.answers = {writeFile(c.name, c.bytes)};
        page.selectLogoButton()->click();

        const bool stored = c.storedExtension != nullptr;
        // Compared whole, not printed: the refused file is 3 MB.
        EXPECT_TRUE(store_->dataForKey(key::kLogoImageData) == (stored ? c.bytes.toStdString() : "previous"));
        EXPECT_EQ(store_->stringForKey(key::kLogoFileExtension), stored ? c.storedExtension : "gif");
        EXPECT_EQ(store_->doubleForKey(key::kLogoTimestamp) > 1.7e9, stored);
        EXPECT_EQ(page.previewHasImage(), stored);
        EXPECT_EQ(didChangePosts_, stored ? 1 : 0);
        using Alerts = std::vector<ui::PreferencesAlert>;
        EXPECT_EQ(dialogs_.alerts, stored ? Alerts() : Alerts(1, {ui::AlertStyle::warning, "Error", c.alert}));
    }
}

// Each control stores its keys and announces each change; the fields are stored on every edit,
// as typed, and an emptied field removes its key.
TEST_F(PreferencesTest, ClearTheSwitchAndTheTitleStoreTheirKeysAndAnnounceEachChange) {
    store_->setBool(key::kUseCustomLogo, true);
    store_->setData(key::kLogoImageData, imageBytes().toStdString());
    store_->setString(key::kLogoFileExtension, std::string("png"));
    store_->setString(key::kCustomSubtitle, std::string("Main Hall"));
    auto& page = makeWindow().appearance();
    EXPECT_EQ(page.subtitleTextField()->text(), "Main Hall");

    page.clearLogoButton()->click();
    EXPECT_FALSE(store_->hasKey(key::kLogoImageData));
    EXPECT_FALSE(store_->hasKey(key::kLogoFileExtension));
    EXPECT_FALSE(page.clearLogoButton()->isEnabled());
    EXPECT_EQ(didChangePosts_, 1);

    store_->setDouble(key::kLogoTimestamp, 0.0);
    page.useLogoCheckbox()->click();
    EXPECT_FALSE(store_->boolForKey(key::kUseCustomLogo));
    EXPECT_GT(store_->doubleForKey(key::kLogoTimestamp), 1.7e9);
    EXPECT_TRUE(page.titleTextField()->isEnabled());  // the title stands in for the logo

    QTest::keyClicks(page.titleTextField(), "   ");
    EXPECT_EQ(store_->stringForKey(key::kCustomTitle), "   ");
    EXPECT_EQ(didChangePosts_, 5);
    page.titleTextField()->selectAll();
    QTest::keyClick(page.titleTextField(), Qt::Key_Backspace);
    EXPECT_FALSE(store_->hasKey(key::kCustomTitle));
    EXPECT_EQ(store_->stringForKey(key::kCustomSubtitle), "Main Hall");
    EXPECT_EQ(didChangePosts_, 6);
}
