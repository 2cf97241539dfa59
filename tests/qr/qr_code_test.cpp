#include "qr/qr_code.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "support/temp_dir.h"

namespace lumeno::qr {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, std::string_view text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Width and height from the IHDR chunk, which must come first after the signature.
std::pair<std::uint32_t, std::uint32_t> pngDimensions(const Bytes& png) {
    if (png.size() < 24 || std::string(png.begin() + 1, png.begin() + 4) != "PNG" ||
        std::string(png.begin() + 12, png.begin() + 16) != "IHDR") {
        return {0, 0};
    }
    auto be32 = [&](std::size_t at) {
        return std::uint32_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
    };
    return {be32(16), be32(20)};
}

std::string runAndRead(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

// Runs the write in a child process, so that a lowered privilege or resource limit cannot leak
// into the other tests. Returns the error text the call gave.
std::string writeInChild(const std::function<void()>& restrict, const fs::path& path, const Bytes& bytes) {
    testing::TempDir scratch;
    fs::permissions(scratch.path(), fs::perms::all);  // the child may no longer be root
    const fs::path result = scratch.path() / "error";
    if (::pid_t pid = ::fork(); pid == 0) {
        restrict();
        std::string error = writeFileAtomically(path, bytes);
        std::ofstream(result) << error;
        ::_exit(0);
    } else {
        ::waitpid(pid, nullptr, 0);
    }
    return readFile(result);
}

void asNobody() {
    // Root ignores permission bits; the folder's read-only mode only stops an ordinary user.
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(1);
}

void withFileSizeLimit() {
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit must fail with EFBIG, not kill the child
    rlimit limit{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

TEST(QRCodeTest, PngIsThousandPixelsSquareAndDecodesToExactlyTheUrl) {
    const std::vector<std::string> urls = {
        "http://192.168.1.20:8080/listen",
        "http://10.0.0.5:49152/listen",
        "http://lumeno-assistive-listening.example.org:8080/listen?room=" + std::string(300, 'a') + "&x=1",
    };
    testing::TempDir dir;
    for (const auto& url : urls) {
        SCOPED_TRACE(url);
        auto image = generateQRCodeImage(url, 1000);
        ASSERT_TRUE(image);
        auto png = encodePNG(*image);
        ASSERT_TRUE(png);
        EXPECT_EQ(pngDimensions(*png), std::make_pair(1000u, 1000u));

        fs::path file = dir.path() / "qr.png";
        ASSERT_EQ(writeFileAtomically(file, *png), "");
        if (std::string(ZBARIMG).empty()) GTEST_SKIP() << "zbarimg is not installed";
        EXPECT_EQ(runAndRead(ZBARIMG " --raw -q " + file.string() + " 2>/dev/null"), url + "\n");
    }
}

TEST(QRCodeTest, QuietZoneIsFourModulesOfWhite) {
    auto image = generateQRCodeImage("http://192.168.1.20:8080/listen", 1000);
    ASSERT_TRUE(image);
    const auto& px = image->pixels;
    // The first dark pixel is the top left corner of a finder pattern, 7 modules of black.
    const auto first = std::find(px.begin(), px.end(), 0);
    ASSERT_NE(first, px.end());
    const int top = static_cast<int>(first - px.begin()) / 1000, left = static_cast<int>(first - px.begin()) % 1000;
    const double module = static_cast<double>(std::find(first, first + (1000 - left), 255) - first) / 7.0;
    EXPECT_NEAR(left, 4 * module, 2.0);
    EXPECT_NEAR(top, 4 * module, 2.0);
    for (auto value : px) ASSERT_TRUE(value == 0 || value == 255);
}

TEST(QRCodeTest, RefusesWhatCannotMakeAScannableCode) {
    struct Case {
        std::string text;
        int size;
    };
    const std::vector<Case> cases = {
        {"", 1000},                                    // nothing to encode
        {std::string(3000, 'x'), 1000},                // beyond the largest symbol at level M
        {"http://192.168.1.20:8080/listen", 0},
        {"http://192.168.1.20:8080/listen", -5},
        {"http://192.168.1.20:8080/listen", 20},       // fewer pixels than modules
        {"http://192.168.1.20:8080/listen", 1000000},  // a terabyte of pixels
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40) + " @ " + std::to_string(c.size));
        EXPECT_FALSE(generateQRCodeImage(c.text, c.size));
    }
    EXPECT_FALSE(encodePNG(QRImage{10, Bytes(99, 255)}));
    EXPECT_FALSE(encodePNG(QRImage{}));
}

TEST(WriteFileAtomicallyTest, ReplacesTheFileWithReadableModeAndLeavesNoTemporary) {
    testing::TempDir dir;
    fs::path file = dir.path() / "Lumeno-QRCode.png";
    writeFile(file, "old bytes");
    mode_t previous = ::umask(022);
    std::string error = writeFileAtomically(file, Bytes{'n', 'e', 'w'});
    ::umask(previous);

    EXPECT_EQ(error, "");
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Lumeno-QRCode.png"});
}

TEST(WriteFileAtomicallyTest, FailureReportsTheSystemMessageAndKeepsWhatWasThere) {
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path& dir)> prepare;  // returns the destination
        std::function<void()> restrict;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"read-only folder",
         [](const fs::path& dir) {
             writeFile(dir / "qr.png", "old bytes");
             fs::permissions(dir, fs::perms(0555));
             return dir / "qr.png";
         },
         asNobody, "Permission denied"},
        {"write fails midway",
         [](const fs::path& dir) {
             writeFile(dir / "qr.png", "old bytes");
             return dir / "qr.png";
         },
         withFileSizeLimit, "File too large"},
        {"parent is a file",
         [](const fs::path& dir) {
             writeFile(dir / "qr.png", "old bytes");
             return dir / "qr.png" / "inner.png";
         },
         [] {}, "Not a directory"},
        {"rename onto a folder",
         [](const fs::path& dir) {
             fs::create_directory(dir / "qr.png");
             writeFile(dir / "qr.png" / "keep", "old bytes");
             return dir / "qr.png";
         },
         [] {}, "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir top;
        fs::permissions(top.path(), fs::perms(0755));  // so an unprivileged child can reach the folder
        fs::path dir = top.path() / "out";
        fs::create_directory(dir);
        fs::path destination = c.prepare(dir);
        auto before = entries(dir);

        EXPECT_EQ(writeInChild(c.restrict, destination, Bytes(4096, 7)), c.error);

        fs::permissions(dir, fs::perms(0755));
        EXPECT_EQ(entries(dir), before);
        fs::path old = fs::is_directory(dir / "qr.png") ? dir / "qr.png" / "keep" : dir / "qr.png";
        EXPECT_EQ(readFile(old), "old bytes");
    }
}

}  // namespace
}  // namespace lumeno::qr
