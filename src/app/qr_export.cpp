#include "app/qr_export.h"

#include <utility>

namespace lumeno::app {

namespace {

constexpr int kQRCodeSize = 1000;

struct AlertText {
    std::string title, message;
};

// Encodes and writes the PNG, logging each outcome; returns the alert to show.
AlertText writeQRCodePNG(const qr::QRImage& image, const std::filesystem::path& destination, core::Logger& log) {
    const auto png = qr::encodePNG(image);
    if (!png) {
        log.line("❌ Failed to convert QR code to PNG data");
        return {"Error", "Failed to convert QR code to PNG format."};
    }
    // Written beside the destination and renamed over it: a failed write never costs the
    // operator an earlier file.
    if (const std::string error = qr::writeFileAtomically(destination, *png); !error.empty()) {
        log.print("❌ Failed to write QR code file: ", error);
        return {"Error", "Failed to save QR code: " + error};
    }
    log.line("✅ QR code saved successfully");
    return {"Success",
            "QR code saved successfully!\n\nYour listeners can scan this code to quickly connect to your audio stream."};
}

}  // namespace

std::shared_ptr<QrExport> QrExport::create(Services services) {
    return std::shared_ptr<QrExport>(new QrExport(std::move(services)));
}

void QrExport::generate(const std::optional<std::string>& url) {
    core::Logger& log = services_.log;
    log.line("📱 QR Code button pressed");
    if (!url) {
        log.line("❌ No URL available for QR code generation");
        services_.showAlert("Error",
                            "No URL available for QR code generation.\n\nMake sure your network connection is active "
                            "and try again.");
        return;
    }
    log.print("📱 Generating QR code for URL: ", *url);
    services_.background.submit([weak = weak_from_this(), url = *url, &queue = services_.mainQueue, &log] {
        if (weak.expired()) return;
        auto image = qr::generateQRCodeImage(url, kQRCodeSize);
        log.line(image ? "✅ QR code image created successfully" : "❌ Failed to create QR code image");
        auto shared = image ? std::make_shared<const qr::QRImage>(std::move(*image)) : nullptr;
        queue.async([weak, shared] {
            if (auto self = weak.lock()) self->imageReady(shared);
        });
    });
}

void QrExport::imageReady(std::shared_ptr<const qr::QRImage> image) {
    if (!image) return services_.showAlert("Error", "Failed to generate QR code. Please try again.");
    services_.chooseDestination([weak = weak_from_this(), image](std::optional<std::filesystem::path> destination) {
        if (auto self = weak.lock()) self->save(image, std::move(destination));
    });
}

void QrExport::save(std::shared_ptr<const qr::QRImage> image, std::optional<std::filesystem::path> destination) {
    core::Logger& log = services_.log;
    if (!destination) {
        log.line("📱 QR code save cancelled");
        return;
    }
    log.print("📱 Saving QR code to: ", destination->string());
    services_.background.submit([weak = weak_from_this(), image, destination = *destination,
                                 &queue = services_.mainQueue, &log] {
        if (weak.expired()) return;
        queue.async([weak, alert = writeQRCodePNG(*image, destination, log)] {
            if (auto self = weak.lock()) self->services_.showAlert(alert.title, alert.message);
        });
    });
}

}  // namespace lumeno::app
