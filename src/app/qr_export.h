#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/main_view.h"
#include "core/background.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "qr/qr_code.h"

namespace lumeno::app {

// The listener address as a QR code, saved as a 1000 × 1000 PNG where the operator chooses. The
// image is made and the file written on the background queue; the jobs there hold only a weak
// reference, and the dialog and the outcome come back on main.
//
// Thread: main; the image and the file on the background queue.
class QrExport : public std::enable_shared_from_this<QrExport> {
public:
    struct Services {
        core::MainQueue& mainQueue;
        core::BackgroundQueue& background;
        core::Logger& log;
        // Asks where to save (the window's dialog); a run without a window answers nothing.
        std::function<void(ControlsView::DestinationChosen)> chooseDestination;
        std::function<void(const std::string& title, const std::string& message)> showAlert;
    };

    static std::shared_ptr<QrExport> create(Services services);
    QrExport(const QrExport&) = delete;
    QrExport& operator=(const QrExport&) = delete;

    // The QR button: `url` is absent while no network address is known.
    void generate(const std::optional<std::string>& url);

private:
    explicit QrExport(Services services) : services_(std::move(services)) {}

    void imageReady(std::shared_ptr<const qr::QRImage> image);
    void save(std::shared_ptr<const qr::QRImage> image, std::optional<std::filesystem::path> destination);

    Services services_;
};

}  // namespace lumeno::app
