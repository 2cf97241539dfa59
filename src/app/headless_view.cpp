#include "app/headless_view.h"

namespace lumeno::app {

void HeadlessView::setStatus(const std::string& text, LabelColor) {
    if (text == status_) return;
    status_ = text;
    log_.line(text);
}

void HeadlessView::showAlert(const Alert& alert) {
    // Log lines are single lines: the alert's paragraph breaks become spaces.
    std::string message = alert.informativeText;
    std::string flat;
    flat.reserve(message.size());
    for (char ch : message) {
        if (ch == '\n') {
            if (!flat.empty() && flat.back() != ' ') flat.push_back(' ');
        } else {
            flat.push_back(ch);
        }
    }
    log_.print("⚠️ Alert: ", alert.messageText, ": ", flat);
}

}  // namespace lumeno::app
