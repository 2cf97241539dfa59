#pragma once

#include <string>

#include "app/main_view.h"
#include "core/log.h"

namespace lumeno::app {

// The window of a service without a display: each status change and each alert becomes one log
// line, so a supervisor's log tells what the operator would have seen. Thread: main.
class HeadlessView final : public StatusView {
public:
    explicit HeadlessView(core::Logger& log) : log_(log) {}

    void setStatus(const std::string& text, LabelColor) override;
    void showAlert(const Alert& alert) override;

private:
    core::Logger& log_;
    std::string status_ = "Status: Stopped";
};

}  // namespace lumeno::app
