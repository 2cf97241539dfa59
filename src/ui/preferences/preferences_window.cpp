#include "ui/preferences/preferences_window.h"

#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

#include "ui/preferences/appearance_page.h"
#include "ui/preferences/corrections_page.h"
#include "ui/preferences/midi_page.h"
#include "ui/preferences/speech_page.h"

namespace lumeno::ui {

namespace {

constexpr QSize kWindowSize{500, 450};
constexpr int kMargin = 20;

}  // namespace

PreferencesWindow::PreferencesWindow(PreferencesServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setWindowTitle(QStringLiteral("Preferences"));
    setFixedSize(kWindowSize);

    tabView_ = new QTabWidget(this);
    appearance_ = new AppearancePage(services);
    midi_ = new MIDIPage(services);
    speech_ = new SpeechPage(services);
    corrections_ = new CorrectionsPage(services);
    for (PreferencesPage* page : std::initializer_list<PreferencesPage*>{appearance_, midi_, speech_, corrections_}) {
        page->setObjectName(page->identifier());
        tabView_->addTab(page, page->title());
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->addWidget(tabView_);

    // Ctrl+W closes the window, as it does every document window; plain W is typed as usual.
    auto* close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
    close->setContext(Qt::WindowShortcut);
    connect(close, &QShortcut::activated, this, &QWidget::hide);

    for (PreferencesPage* page : std::initializer_list<PreferencesPage*>{appearance_, midi_, speech_, corrections_})
        page->load();
}

}  // namespace lumeno::ui
