#include "ui/transcript/correction_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "speech/transcription_correction_manager.h"

namespace lumeno::ui {

namespace {

constexpr int kAccessoryWidth = 450;
constexpr int kChipAreaHeight = 94;
constexpr const char* kInstructions =
    "1. Click word(s) above to highlight them  •  2. Enter the correct text below  •  3. Click 'Create Correction'\n"
    "💡 Tip: Click highlighted words again to unhighlight them";

QFont pixelFont(int size, QFont::Weight weight = QFont::Normal) {
    QFont font;
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

QRectF toQt(const transcript::ChipRect& r) { return {r.x, r.y, r.width, r.height}; }

// Draws the chips of its parent and takes their clicks.
class ClickableWordsContentView : public QWidget {
public:
    explicit ClickableWordsContentView(ClickableWordSelectionView& parent) : parent_(parent) {
        setMouseTracking(true);
        setCursor(Qt::ArrowCursor);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setFont(pixelFont(12));
        const QColor accent = palette().color(QPalette::Highlight);
        const auto& words = parent_.words();
        const auto& rects = parent_.wordRects();
        for (std::size_t i = 0; i < rects.size() && i < words.size(); ++i) {
            const QRectF rect = toQt(rects[i]);
            if (!rect.intersects(event->rect())) continue;
            const bool selected = parent_.selectedWords().contains(static_cast<int>(i));
            if (selected) {
                QColor fill = accent;
                fill.setAlphaF(0.3f);
                QPainterPath chip;
                chip.addRoundedRect(rect.adjusted(-2, -1, 2, 1), 3, 3);
                painter.fillPath(chip, fill);
            }
            painter.setPen(selected ? accent : palette().color(QPalette::WindowText));
            painter.drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(words[i]));
        }
    }

    void mousePressEvent(QMouseEvent* event) override {
        const int index = parent_.wordAt(event->position());
        if (index >= 0) parent_.toggleWord(index);
    }

    void mouseMoveEvent(QMouseEvent* event) override {
        setCursor(parent_.wordAt(event->position()) >= 0 ? Qt::PointingHandCursor : Qt::ArrowCursor);
    }

private:
    ClickableWordSelectionView& parent_;
};

// "Try Again" or "Cancel"; true for "Try Again".
bool askTryAgain(QWidget* parent, const QString& message, const QString& informative) {
    QMessageBox alert(parent);
    alert.setIcon(QMessageBox::Warning);
    alert.setText(message);
    alert.setInformativeText(informative);
    QPushButton* tryAgain = alert.addButton("Try Again", QMessageBox::AcceptRole);
    alert.addButton("Cancel", QMessageBox::RejectRole);
    alert.setDefaultButton(tryAgain);
    alert.exec();
    return alert.clickedButton() == tryAgain;
}

}  // namespace

ClickableWordSelectionView::ClickableWordSelectionView(const std::string& line, core::Logger& log, QWidget* parent)
    : QScrollArea(parent), log_(log), words_(transcript::splitWords(line)) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidgetResizable(false);
    QPalette shade = palette();
    QColor background = shade.color(QPalette::Base);
    background.setAlphaF(0.8f);
    shade.setColor(QPalette::Window, background);
    viewport()->setPalette(shade);
    viewport()->setAutoFillBackground(true);
    setWidget(new ClickableWordsContentView(*this));
    widget()->setAutoFillBackground(false);
    layoutWords();
}

void ClickableWordSelectionView::toggleWord(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= words_.size()) return;
    if (!selectedWords_.erase(index)) selectedWords_.insert(index);
    widget()->update();
    std::string selected;
    for (int i : selectedWords_) {
        if (!selected.empty()) selected += ' ';
        selected += words_[static_cast<std::size_t>(i)];
    }
    log_.print("📝 Word selection updated: ", selected);
}

int ClickableWordSelectionView::wordAt(QPointF point) const {
    for (std::size_t i = 0; i < layout_.rects.size(); ++i)
        if (toQt(layout_.rects[i]).contains(point)) return static_cast<int>(i);
    return -1;
}

void ClickableWordSelectionView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    layoutWords();
}

void ClickableWordSelectionView::showEvent(QShowEvent* event) {
    QScrollArea::showEvent(event);
    layoutWords();
}

// Laid out against the viewport rather than the whole view: with the vertical scroller showing,
// chips laid out for the full width would run under it, and there is no horizontal scroller.
void ClickableWordSelectionView::layoutWords() {
    if (words_.empty()) return;
    const QFontMetricsF metrics(pixelFont(12));
    std::vector<double> widths;
    widths.reserve(words_.size());
    for (const auto& word : words_) widths.push_back(metrics.horizontalAdvance(QString::fromStdString(word)));
    const int width = verticalScrollBar()->isVisible() ? viewport()->width() : this->width();
    layout_ = transcript::layoutChips(widths, width, viewport()->height());
    widget()->resize(static_cast<int>(std::ceil(layout_.contentWidth)), static_cast<int>(std::ceil(layout_.contentHeight)));
    widget()->update();
}

CorrectionDialog::CorrectionDialog(const std::string& line, core::Logger& log, QWidget* parent, bool offerVocabulary)
    : QDialog(parent) {
    setWindowTitle("Create Correction");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* message = new QLabel("Click word(s) to correct:");
    message->setFont(pixelFont(13, QFont::Bold));
    layout->addWidget(message);

    auto* accessory = new QWidget;
    accessory->setFixedSize(kAccessoryWidth, offerVocabulary ? 206 : 180);
    auto* column = new QVBoxLayout(accessory);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    words_ = new ClickableWordSelectionView(line, log);
    words_->setFixedSize(kAccessoryWidth, kChipAreaHeight);
    column->addWidget(words_);

    auto* instructions = new QLabel(kInstructions);
    instructions->setFont(pixelFont(10));
    instructions->setAlignment(Qt::AlignCenter);
    instructions->setWordWrap(true);
    instructions->setFixedWidth(kAccessoryWidth);
    QPalette secondary = instructions->palette();
    QColor dim = secondary.color(QPalette::WindowText);
    dim.setAlphaF(0.55f);
    secondary.setColor(QPalette::WindowText, dim);
    instructions->setPalette(secondary);
    column->addWidget(instructions);

    auto* label = new QLabel("Correct text:");
    label->setFont(pixelFont(12, QFont::Medium));
    column->addWidget(label);

    input_ = new QLineEdit;
    input_->setFont(pixelFont(12));
    input_->setPlaceholderText("Enter the correct text here...");
    input_->setFixedSize(kAccessoryWidth, 28);
    column->addWidget(input_);
    if (offerVocabulary) {
        vocabulary_ = new QCheckBox("Also add to vocabulary");
        vocabulary_->setToolTip("The recogniser then knows the correct words and hears them more often");
        column->addWidget(vocabulary_);
    }
    layout->addWidget(accessory);

    auto* buttons = new QDialogButtonBox;
    QPushButton* create = buttons->addButton("Create Correction", QDialogButtonBox::AcceptRole);
    buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    create->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    // Typing can start at once, once the dialog is on screen.
    QTimer::singleShot(0, input_, [input = input_] { input->setFocus(Qt::OtherFocusReason); });
}

std::string CorrectionDialog::typedText() const { return input_->text().toStdString(); }

bool CorrectionDialog::addToVocabulary() const { return vocabulary_ && vocabulary_->isChecked(); }

void runCorrectionFlow(QWidget* parent, const std::string& line, core::Logger& log,
                       speech::TranscriptionCorrectionManager& corrections, const VocabularyAdder& addToVocabulary) {
    const std::string text = transcript::lineForCorrection(line);
    if (text.empty()) return;
    for (;;) {
        CorrectionDialog dialog(text, log, parent, static_cast<bool>(addToVocabulary));
        if (dialog.exec() != QDialog::Accepted) return;
        const auto misheard =
            transcript::misheardText(dialog.wordSelection()->words(), dialog.wordSelection()->selectedWords());
        if (!misheard) {
            if (askTryAgain(parent, "No Words Selected",
                            "Please click on the word(s) you want to correct in the text above.\n\nTip: Click on words "
                            "to highlight them, then enter the correction below."))
                continue;
            return;
        }
        const auto correction = transcript::usableCorrection(*misheard, dialog.typedText());
        if (!correction) {
            if (askTryAgain(parent, "Invalid Correction",
                            QString::fromStdString("Please enter a correction that:\n• Is not empty\n• Is different "
                                                   "from the selected text\n\nSelected: '" +
                                                   *misheard + "'")))
                continue;
            return;
        }
        auto map = corrections.customCorrections();
        map[transcript::correctionKey(*misheard)] = *correction;
        corrections.setCustomCorrections(map);
        log.print("📝 Added text correction: '", *misheard, "' → '", *correction, "'");
        if (dialog.addToVocabulary()) {
            if (const std::string error = addToVocabulary(*correction); !error.empty()) {
                QMessageBox alert(parent);
                alert.setIcon(QMessageBox::Warning);
                alert.setText("Not Added to Vocabulary");
                alert.setInformativeText(QString::fromStdString(error));
                alert.addButton("OK", QMessageBox::AcceptRole);
                alert.exec();
            }
        }
        return;
    }
}

}  // namespace lumeno::ui
