#include <gtest/gtest.h>

#include "core/base64.h"

using namespace lumeno::core;

TEST(Base64Test, MatchesKnownVectorsRoundTripsEveryByteAndRejectsMalformedText) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (std::size_t n = 0; n <= all.size(); ++n)
        EXPECT_EQ(base64Decode(base64Encode(all.substr(0, n))), all.substr(0, n)) << n;
    struct Case {
        std::string plain, encoded;
    };
    for (const Case& c : {Case{"", ""}, Case{"f", "Zg=="}, Case{"fo", "Zm8="}, Case{"foo", "Zm9v"},
                          Case{"foobar", "Zm9vYmFy"}}) {
        EXPECT_EQ(base64Encode(c.plain), c.encoded);
        EXPECT_EQ(base64Decode(c.encoded), c.plain);
    }
    for (const char* bad : {"Zg=", "Z===", "Zg==Zg==", "Zm9v!", "Zm 9"}) EXPECT_FALSE(base64Decode(bad)) << bad;
}
