#include "qr/qr_code.h"

#include <fcntl.h>
#include <png.h>
#include <qrencode.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <system_error>

namespace lumeno::qr {

namespace {

constexpr int kQuietZoneModules = 4;
// Larger pictures are no easier to scan and only cost memory.
constexpr int kMaxImageSize = 10000;

struct QRcodeDeleter {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

std::string systemMessage(int error) { return std::error_code(error, std::generic_category()).message(); }

// Write everything, also across signals and short writes.
bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// A fresh file next to `path`, created exclusively so nobody else's file is ever reused; the
// umask applies as for any new file. Returns -1 with errno set on failure.
int createTemporary(const std::filesystem::path& path, std::filesystem::path& temporary) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%d-%08x.tmp", static_cast<int>(::getpid()), random());
        temporary = path.parent_path() / ("." + path.filename().string() + suffix);
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

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
    if (path.filename().empty()) return systemMessage(EISDIR);
    std::filesystem::path temporary;
    int fd = createTemporary(path, temporary);
    if (fd < 0) return systemMessage(errno);

    int error = 0;
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0) error = errno;
    // close can report a deferred write error (network file systems).
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return systemMessage(error);
    }

    // Make the rename itself durable; the file is already in place, so a failure here is not one.
    std::filesystem::path folder = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

}  // namespace lumeno::qr
