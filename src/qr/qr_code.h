#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumeno::qr {

// An 8-bit grey image, row-major, size × size pixels: 0 is black, 255 white.
struct QRImage {
    int size = 0;
    std::vector<std::uint8_t> pixels;
};

// The QR symbol of the UTF-8 bytes of `text` at error correction level M, its 4-module quiet
// zone included, scaled uniformly (nearest neighbour) to size × size. Nothing for an empty text,
// a text too long for any symbol, or a size too small to give every module at least one pixel.
// Thread: any.
std::optional<QRImage> generateQRCodeImage(std::string_view text, int size);

// The image as PNG bytes; nothing when the image is inconsistent or libpng refuses it.
std::optional<std::vector<std::uint8_t>> encodePNG(const QRImage& image);

// Saves the image's bytes with core::writeFileAtomically: a failed write never leaves a
// half-written or missing destination. Returns the system's message ("Permission denied") on
// failure, an empty string on success. Thread: any.
std::string writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace lumeno::qr
