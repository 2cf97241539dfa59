#include "qr/qr_code.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "support/temp_dir.h"

namespace lumeno::qr {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string runAndRead(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

TEST(QRCodeTest, ImageIsThousandPixelsSquareAndItsPngDecodesToExactlyTheUrl) {
    const std::vector<std::string> urls = {
        "http://192.168.1.20:8080/listen",
        "http://lumeno-assistive-listening.example.org:8080/listen?room=" + std::string(300, 'a') + "&x=1",
    };
    testing::TempDir dir;
    for (const auto& url : urls) {
        SCOPED_TRACE(url);
        auto image = generateQRCodeImage(url, 1000);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->size, 1000);
        auto png = encodePNG(*image);
        ASSERT_TRUE(png);
        const auto file = dir.path() / "qr.png";
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

}  // namespace
}  // namespace lumeno::qr
