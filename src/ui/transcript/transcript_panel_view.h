#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/log.h"
#include "transcript/transcript_archive.h"
#include "transcript/transcript_model.h"
#include "ui/transcript/correction_dialog.h"

class QTextEdit;
class QToolButton;

namespace lumeno::speech {
class TranscriptionCorrectionManager;
}

namespace lumeno::ui {

class HoverableTextView;

// The window's side panel of live captions: finished lines and the line being spoken, newest at
// the bottom, older ones fading. Clicking a line opens the correction dialog; "Save Transcript…"
// exports the running session. Thread: main.
class TranscriptPanelView : public QWidget {
public:
    struct Services {
        core::Logger& log;
        std::shared_ptr<speech::TranscriptionCorrectionManager> corrections;
        VocabularyAdder addToVocabulary = {};  // offered in the correction dialog when set
    };

    explicit TranscriptPanelView(Services services, QWidget* parent = nullptr);
    ~TranscriptPanelView() override;

    void addTranscription(const std::string& text, bool isFinal);
    void updateDisplay();
    bool isNearBottom() const;
    void scrollToBottom();

    // The text view reports a click on a clickable line at this character position.
    void lineClicked(int characterIndex);

    // Where "Save Transcript…" takes the session from; the action shows only once this is set.
    void setTranscriptSource(std::function<transcript::TranscriptSession()> source);
    // Asks for a file and writes the session there as text or SubRip.
    void saveTranscript();

    const transcript::TranscriptModel& model() const { return model_; }
    QTextEdit* textView() const;
    bool autoScrollPending() const { return scrollTimer_.isActive(); }

    // A line longer than this many characters is shown cut; the entry keeps all of it.
    static constexpr std::size_t kLongestShownLine = 400;

private:
    Services services_;
    transcript::TranscriptModel model_;
    HoverableTextView* textView_;
    QToolButton* saveButton_;
    QTimer scrollTimer_;
    std::function<transcript::TranscriptSession()> transcriptSource_;
};

}  // namespace lumeno::ui
