#include "qr/qr_code.h"

#include <png.h>
#include <qrencode.h>

#include <memory>

#include "core/atomic_file.h"

namespace lumeno::qr {

namespace {

constexpr int kQuietZoneModules = 4;
// Larger pictures are no easier to scan and only cost memory.
constexpr int kMaxImageSize = 10000;

struct QRcodeDeleter {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

std::optional<QRImage> generateQRCodeImage(std::string_view text, int size) {
    if (text.empty() || size <= 0 || size > kMaxImageSize) return std::nullopt;
    // Byte mode keeps the text exactly as given, whatever characters it holds.
    std::unique_ptr<QRcode, QRcodeDeleter> code(QRcode_encodeData(
        static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
    if (!code) return std::nullopt;

    const int modules = code->width + 2 * kQuietZoneModules;
    // Below one pixel per module the nearest neighbour would drop modules and the code would not scan.
    if (size < modules) return std::nullopt;

    // The module under each output column, computed once for the whole picture.
    std::vector<int> moduleAt(static_cast<std::size_t>(size));
    for (int p = 0; p < size; ++p) moduleAt[static_cast<std::size_t>(p)] = p * modules / size - kQuietZoneModules;
    auto dark = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= code->width || y >= code->width) return false;
        return (code->data[y * code->width + x] & 1) != 0;
    };

    QRImage image;
    image.size = size;
    image.pixels.resize(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    for (int y = 0; y < size; ++y) {
        std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(size);
        const int my = moduleAt[static_cast<std::size_t>(y)];
        for (int x = 0; x < size; ++x) row[x] = dark(moduleAt[static_cast<std::size_t>(x)], my) ? 0 : 255;
    }
    return image;
}

std::optional<std::vector<std::uint8_t>> encodePNG(const QRImage& image) {
    if (image.size <= 0 || image.size > kMaxImageSize ||
        image.pixels.size() != static_cast<std::size_t>(image.size) * static_cast<std::size_t>(image.size)) {
        return std::nullopt;
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.size);
    png.height = static_cast<png_uint_32>(image.size);
    png.format = PNG_FORMAT_GRAY;

    std::vector<std::uint8_t> bytes(PNG_IMAGE_PNG_SIZE_MAX(png));
    png_alloc_size_t length = bytes.size();
    if (!png_image_write_to_memory(&png, bytes.data(), &length, 0, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

std::string writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    const std::error_code error = core::writeFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return error ? error.message() : std::string();
}

}  // namespace lumeno::qr
