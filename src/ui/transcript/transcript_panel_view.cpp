#include "ui/transcript/transcript_panel_view.h"

#include <QAbstractTextDocumentLayout>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "speech/transcription_correction_manager.h"
#include "transcript/correction_selection.h"
#include "ui/transcript/correction_dialog.h"

namespace lumeno::ui {

using namespace std::chrono_literals;

namespace {

constexpr int kNearBottom = 20;
constexpr auto kScrollDelay = 20ms;
constexpr int kScrollAnimationMs = 150;
constexpr float kSecondaryAlpha = 0.55f;
constexpr float kTertiaryAlpha = 0.3f;

QFont pixelFont(int size, QFont::Weight weight = QFont::Normal) {
    QFont font;
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

QTextCharFormat textFormat(int size, QFont::Weight weight, QColor color, float alpha) {
    color.setAlphaF(color.alphaF() * alpha);
    QTextCharFormat format;
    format.setFont(pixelFont(size, weight));
    format.setForeground(color);
    return format;
}

std::string trimmedLine(const QString& text) { return text.trimmed().toStdString(); }

}  // namespace

// The panel's text view: highlights the clickable line under the pointer and hands clicks on
// such lines to its panel. Thread: main.
class HoverableTextView : public QTextEdit {
public:
    HoverableTextView(core::Logger& log, QWidget* parent) : QTextEdit(parent), log_(log) {
        setReadOnly(true);
        setTextInteractionFlags(Qt::TextSelectableByMouse);
        setUndoRedoEnabled(false);
        setFrameShape(QFrame::NoFrame);
        // Scrolled by wheel, touchpad and the follow-the-bottom rule; no scroller takes room.
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setLineWrapMode(QTextEdit::WidgetWidth);
        viewport()->setAutoFillBackground(false);
        setStyleSheet("QTextEdit { background: transparent; }");
        document()->setDocumentMargin(15);
        document()->setDefaultFont(pixelFont(14));
        viewport()->setMouseTracking(true);
        viewport()->setCursor(Qt::ArrowCursor);
    }

    // Forgets the highlighted line; called whenever the text is replaced, since the range would
    // then point at whatever text took its place.
    void clearHover() {
        hoveredLineRange_.reset();
        setExtraSelections({});
    }

    std::optional<std::pair<int, int>> hoveredLineRange() const { return hoveredLineRange_; }

    // The character under a viewport point, or -1 where there is no text.
    int characterAt(QPoint point) const {
        const QPointF inDocument(point.x() + horizontalScrollBar()->value(), point.y() + verticalScrollBar()->value());
        return document()->documentLayout()->hitTest(inDocument, Qt::ExactHit);
    }

    // (start, length) of the clickable line under a viewport point.
    std::optional<std::pair<int, int>> clickableLineAt(QPoint point) const {
        const int index = characterAt(point);
        if (index < 0) return std::nullopt;
        const QTextBlock block = document()->findBlock(index);
        if (!block.isValid() || !transcript::isClickableLine(trimmedLine(block.text()))) return std::nullopt;
        return std::pair{block.position(), block.length() - 1};
    }

    std::function<void(QMenu&)> extendContextMenu;

protected:
    void mouseMoveEvent(QMouseEvent* event) override {
        QTextEdit::mouseMoveEvent(event);
        const auto line = clickableLineAt(event->position().toPoint());
        if (line == hoveredLineRange_) return;
        if (line) {
            highlight(*line);
            viewport()->setCursor(Qt::PointingHandCursor);
        } else {
            clearHover();
            viewport()->setCursor(Qt::ArrowCursor);
        }
    }

    bool viewportEvent(QEvent* event) override {
        if (event->type() == QEvent::Leave) {
            clearHover();
            viewport()->setCursor(Qt::ArrowCursor);
        } else if (event->type() == QEvent::Enter) {
            const auto* enter = static_cast<QEnterEvent*>(event);
            if (clickableLineAt(enter->position().toPoint())) viewport()->setCursor(Qt::PointingHandCursor);
        }
        return QTextEdit::viewportEvent(event);
    }

    void mousePressEvent(QMouseEvent* event) override {
        const QPoint point = event->position().toPoint();
        if (!clickableLineAt(point)) {
            QTextEdit::mousePressEvent(event);
            return;
        }
        const int index = characterAt(point);
        log_.print("📝 HoverableTextView: Click detected at character ", index);
        for (QWidget* w = parentWidget(); w; w = w->parentWidget()) {
            if (auto* panel = dynamic_cast<TranscriptPanelView*>(w)) {
                // The dialog runs modally; opening it after this event keeps the press and its
                // release together.
                QTimer::singleShot(0, panel, [panel, index] { panel->lineClicked(index); });
                return;
            }
        }
    }

    void contextMenuEvent(QContextMenuEvent* event) override {
        std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
        if (extendContextMenu) extendContextMenu(*menu);
        menu->exec(event->globalPos());
    }

private:
    void highlight(std::pair<int, int> range) {
        QTextEdit::ExtraSelection selection;
        selection.cursor = QTextCursor(document());
        selection.cursor.setPosition(range.first);
        selection.cursor.setPosition(range.first + range.second, QTextCursor::KeepAnchor);
        selection.format.setForeground(palette().color(QPalette::Highlight));
        setExtraSelections({selection});
        hoveredLineRange_ = range;
    }

    core::Logger& log_;
    std::optional<std::pair<int, int>> hoveredLineRange_;
};

TranscriptPanelView::TranscriptPanelView(Services services, QWidget* parent)
    : QWidget(parent),
      services_(std::move(services)),
      model_({services_.log, [corrections = services_.corrections] {
                  return corrections ? corrections->useBiblicalTerms() : true;
              }}) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    textView_ = new HoverableTextView(services_.log, this);
    textView_->setToolTip("💡 Click on any transcribed text to create corrections for future transcriptions");
    textView_->extendContextMenu = [this](QMenu& menu) {
        if (!transcriptSource_) return;
        menu.addSeparator();
        menu.addAction("Save Transcript…", this, [this] { saveTranscript(); });
    };
    layout->addWidget(textView_, 1);

    saveButton_ = new QToolButton(this);
    saveButton_->setText("Save Transcript…");
    saveButton_->setAutoRaise(true);
    saveButton_->setFont(pixelFont(11));
    saveButton_->hide();
    connect(saveButton_, &QToolButton::clicked, this, [this] { saveTranscript(); });
    layout->addWidget(saveButton_, 0, Qt::AlignRight);

    scrollTimer_.setSingleShot(true);
    scrollTimer_.setInterval(kScrollDelay);
    connect(&scrollTimer_, &QTimer::timeout, this, [this] { scrollToBottom(); });

    updateDisplay();
}

TranscriptPanelView::~TranscriptPanelView() = default;

QTextEdit* TranscriptPanelView::textView() const { return textView_; }

void TranscriptPanelView::addTranscription(const std::string& text, bool isFinal) {
    if (model_.addTranscription(text, isFinal)) updateDisplay();
}

void TranscriptPanelView::updateDisplay() {
    core::Logger& log = services_.log;
    const auto& entries = model_.entries();
    log.print("📝 TranscriptPanelView.updateDisplay called with ", entries.size(), " entries");
    const bool wasNearBottom = isNearBottom();
    textView_->clearHover();

    const QColor label = textView_->palette().color(QPalette::Text);
    QTextCursor cursor(textView_->document());
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.removeSelectedText();
    cursor.setBlockFormat(QTextBlockFormat());
    if (entries.empty()) {
        cursor.insertText("Waiting for speech...", textFormat(14, QFont::Normal, label, kSecondaryAlpha));
        log.line("📝 Showing 'Waiting for speech...' message");
    } else {
        log.print("📝 Processing ", entries.size(), " transcript entries");
        const std::size_t n = entries.size();
        const QTextCharFormat spacer = textFormat(14, QFont::Normal, label, 1.0f);
        for (std::size_t k = 0; k < n; ++k) {
            const auto& entry = entries[k];
            const QString text =
                QString::fromStdString(transcript::displayText(entry.text, kLongestShownLine));
            QTextBlockFormat block;
            block.setLineHeight(2, QTextBlockFormat::LineDistanceHeight);
            if (entry.isFinal) {
                block.setBottomMargin(12);
                const float alpha =
                    k == n - 1 ? 0.8f : std::max(0.3f, 0.3f + 0.5f * static_cast<float>(k) / static_cast<float>(n));
                cursor.setBlockFormat(block);
                cursor.insertText(text, textFormat(14, QFont::Normal, label, alpha));
            } else {
                cursor.setBlockFormat(block);
                cursor.insertText(text, textFormat(14, QFont::Medium, label, 1.0f));
                cursor.insertText(transcript::kPartialMarker, textFormat(12, QFont::Normal, label, kSecondaryAlpha * 0.7f));
            }
            cursor.insertBlock(QTextBlockFormat(), spacer);
            cursor.insertBlock(QTextBlockFormat(), spacer);
        }
        if (entries.back().isFinal)
            cursor.insertText(transcript::kListening, textFormat(12, QFont::Light, label, kTertiaryAlpha));
    }
    cursor.endEditBlock();

    if (wasNearBottom) scrollTimer_.start();
    log.line("📝 Display update complete");
}

bool TranscriptPanelView::isNearBottom() const {
    const QScrollBar* bar = textView_->verticalScrollBar();
    return bar->value() >= bar->maximum() - kNearBottom;
}

void TranscriptPanelView::scrollToBottom() {
    QScrollBar* bar = textView_->verticalScrollBar();
    if (bar->maximum() <= 0) return;
    auto* animation = new QPropertyAnimation(bar, "value", this);
    animation->setDuration(kScrollAnimationMs);
    animation->setEndValue(bar->maximum());
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void TranscriptPanelView::lineClicked(int characterIndex) {
    core::Logger& log = services_.log;
    const QTextDocument* document = textView_->document();
    if (characterIndex < 0 || characterIndex > document->characterCount() - 1) {
        log.line("📝 Could not determine clicked line");
        return;
    }
    QTextBlock block = document->findBlock(characterIndex);
    if (!block.isValid()) block = document->lastBlock();
    const std::string line = trimmedLine(block.text());
    if (!transcript::isClickableLine(line)) {
        log.print("📝 Skipped clicking on status/short line: '", line, "'");
        return;
    }
    log.print("📝 Clicked on transcript line: '", line, "'");
    if (services_.corrections) runCorrectionFlow(this, line, log, *services_.corrections, services_.addToVocabulary);
}

void TranscriptPanelView::setTranscriptSource(std::function<transcript::TranscriptSession()> source) {
    transcriptSource_ = std::move(source);
    saveButton_->setVisible(static_cast<bool>(transcriptSource_));
}

void TranscriptPanelView::saveTranscript() {
    if (!transcriptSource_) return;
    const transcript::TranscriptSession session = transcriptSource_();
    QString filter;
    QString file = QFileDialog::getSaveFileName(
        this, "Save Transcript", QDir::home().filePath(QString::fromStdString("Transcript " + session.name + ".txt")),
        "Plain text (*.txt);;SubRip subtitles (*.srt)", &filter);
    if (file.isEmpty()) return;
    if (!file.endsWith(".txt", Qt::CaseInsensitive) && !file.endsWith(".srt", Qt::CaseInsensitive))
        file += filter.contains("srt") ? ".srt" : ".txt";
    if (const std::string error = transcript::exportSession(session, file.toStdString()); !error.empty()) {
        services_.log.print("❌ Could not save the transcript: ", error);
        QMessageBox::warning(this, "Transcript Not Saved", QString::fromStdString(error));
        return;
    }
    services_.log.print("📝 Transcript saved to ", file.toStdString());
}

}  // namespace lumeno::ui
