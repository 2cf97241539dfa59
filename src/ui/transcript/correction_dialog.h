#pragma once

#include <QDialog>
#include <QScrollArea>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "transcript/correction_selection.h"

class QCheckBox;
class QLineEdit;

namespace lumeno::speech {
class TranscriptionCorrectionManager;
}

namespace lumeno::ui {

// The words of one transcript line as chips the operator clicks to pick the misheard ones.
// Thread: main.
class ClickableWordSelectionView : public QScrollArea {
public:
    ClickableWordSelectionView(const std::string& line, core::Logger& log, QWidget* parent = nullptr);

    const std::vector<std::string>& words() const { return words_; }
    const std::set<int>& selectedWords() const { return selectedWords_; }
    // Chip rectangles in content coordinates, one per word.
    const std::vector<transcript::ChipRect>& wordRects() const { return layout_.rects; }
    QWidget* contentView() const { return widget(); }

    void toggleWord(int index);
    int wordAt(QPointF contentPoint) const;  // -1 outside every chip

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void layoutWords();

    core::Logger& log_;
    std::vector<std::string> words_;
    std::set<int> selectedWords_;
    transcript::ChipLayout layout_;
};

// The modal dialog of click-to-correct: the chips, instructions and the input for the correct
// text. Thread: main.
class CorrectionDialog : public QDialog {
public:
    // With `offerVocabulary`, a checkbox offers to add the correct text to the vocabulary too.
    CorrectionDialog(const std::string& line, core::Logger& log, QWidget* parent = nullptr, bool offerVocabulary = false);

    ClickableWordSelectionView* wordSelection() const { return words_; }
    std::string typedText() const;
    QLineEdit* input() const { return input_; }
    QCheckBox* vocabularyCheckbox() const { return vocabulary_; }  // null unless offered
    bool addToVocabulary() const;

private:
    ClickableWordSelectionView* words_;
    QLineEdit* input_;
    QCheckBox* vocabulary_ = nullptr;
};

// Adds text to the operator's vocabulary; returns why not, or empty.
using VocabularyAdder = std::function<std::string(const std::string& text)>;

// Opens the dialog for a clicked line and, once the operator has picked words and typed their
// correction, stores `lower(misheard) -> correction` among the custom corrections, which applies
// it to every caption from then on. An empty selection or an unusable correction gets its
// alert, whose "Try Again" opens the dialog afresh. With `addToVocabulary`, the dialog offers
// to add the correct text to the vocabulary as well; a refusal is shown, the correction stays.
void runCorrectionFlow(QWidget* parent, const std::string& line, core::Logger& log,
                       speech::TranscriptionCorrectionManager& corrections, const VocabularyAdder& addToVocabulary = {});

}  // namespace lumeno::ui
