#include <gtest/gtest.h>

#include "server/http_text.h"

using namespace lumeno::server;

TEST(RouteTest, FirstMatchingSubstringWinsAnywhereInTheChunk) {
    struct Case {
        std::string request;
        Route expected;
    };
    const Case cases[] = {
        {"GET /listen HTTP/1.1\r\n\r\n", Route::page},
        {"GET /listen?x=1 HTTP/1.1\r\n\r\n", Route::page},
        {"GET /listening HTTP/1.1\r\n\r\n", Route::page},
        {"GET /audio HTTP/1.1\r\nX-Note: GET /listen\r\n\r\n", Route::page},
        {"GET /logo?t=5 HTTP/1.1\r\n\r\n", Route::logo},
        {"GET /status.json HTTP/1.1\r\n\r\n", Route::status},
        {"GET /transcription HTTP/1.1\r\n\r\n", Route::transcription},
        {"GET /audio HTTP/1.1\r\n\r\n", Route::audio},
        {"GET / HTTP/1.1\r\n\r\n", Route::notFound},
        {"POST /status HTTP/1.1\r\n\r\n", Route::notFound},
        {"get /status HTTP/1.1\r\n\r\n", Route::notFound},
        {"GET", Route::notFound},
        {"", Route::notFound},
    };
    for (const auto& c : cases) EXPECT_EQ(routeFor(c.request), c.expected) << c.request;
}

TEST(RequestTextTest, InvalidUtf8BecomesEmptyText) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"GET /status", true},
        {"caf\xC3\xA9 \xF0\x9F\x8E\xA7", true},
        {"GET /status \xFF", false},
        {"\xC0\xAF", false},          // overlong slash
        {"\xED\xA0\x80", false},      // surrogate
        {"\xF4\x90\x80\x80", false},  // past U+10FFFF
        {"\xE2\x82", false},          // cut short
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> bytes(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(requestText(bytes), c.valid ? c.bytes : "") << c.bytes;
    }
}

TEST(LogSafePrefixTest, CountsCharactersNotBytesAndEscapesControls) {
    EXPECT_EQ(logSafePrefix("GET /\r\nHost", 100), "GET /\\r\\nHost");
    EXPECT_EQ(logSafePrefix("\xF0\x9F\x8E\xA7\xF0\x9F\x8E\xA7", 1), "\xF0\x9F\x8E\xA7");
    EXPECT_EQ(logSafePrefix(std::string(300, 'a'), 100), std::string(100, 'a'));
    EXPECT_EQ(logSafePrefix(std::string("a\0b", 3), 100), "a\\x00b");
}

TEST(WireTextTest, HeadsAndBodiesAreExact) {
    EXPECT_EQ(statusResponse(false),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 20\r\nAccess-Control-Allow-Origin: "
              "*\r\nCache-Control: no-cache\r\n\r\n{\"status\":\"waiting\"}");
    EXPECT_EQ(statusResponse(true).substr(statusResponse(true).size() - 22), "{\"status\":\"streaming\"}");
    EXPECT_NE(statusResponse(true).find("Content-Length: 22\r\n"), std::string::npos);
    EXPECT_EQ(kNotFoundResponse.size(), 45u);
    EXPECT_EQ(kEventStreamHead.size(), 133u);
    EXPECT_EQ(kKeepAlive.size(), 12u);
    EXPECT_EQ(audioStreamHead(48000.0, 1),
              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nX-Sample-Rate: 48000\r\nX-Channels: "
              "1\r\nCache-Control: no-cache\r\n\r\n");
    EXPECT_NE(audioStreamHead(22050.5, 2).find("X-Sample-Rate: 22050\r\nX-Channels: 2\r\n"), std::string::npos);
    EXPECT_EQ(eventFrame("{\"a\":1}"), "data: {\"a\":1}\n\n");
}
