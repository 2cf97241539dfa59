#include <gtest/gtest.h>

#include "server/http_text.h"

using namespace lumeno::server;

// The first matching substring of the request line wins; only a codec parameter of "opus" asks
// for the compressed stream.
TEST(RouteTest, TheRequestLineChoosesTheRouteAndTheCodec) {
    const struct {
        std::string line;
        Route route;
        AudioCodec codec = AudioCodec::pcm;
    } cases[] = {
        {"GET /listening?x=1 HTTP/1.1", Route::page},
        {"GET /logo?t=5 HTTP/1.1", Route::logo},
        {"GET /transcription HTTP/1.1", Route::transcription},
        {"GET /audio HTTP/1.1", Route::audio},
        {"GET /audio?x=1&codec=OPUS HTTP/1.1", Route::audio, AudioCodec::opus},
        {"GET /audio?c%6Fdec=%6fpus#t HTTP/1.1", Route::audio, AudioCodec::opus},
        {"GET /audio?codec=pcm&codec=opus HTTP/1.1", Route::audio},  // the first one counts
        {"GET /audio?codec=opus2 HTTP/1.1", Route::audio},
        {"GET /audio HTTP/1.1 ?codec=opus", Route::audio},
        {"GET /audio?codec=opus%", Route::audio},
        {"GET /audio.mp3 HTTP/1.1", Route::audioMp3},
        {"GET /opus-decoder.js HTTP/1.1", Route::decoderScript},
        {"GET /audio/opus-decoder.js HTTP/1.1", Route::audio},  // a path that had a route keeps it
        {"GET / HTTP/1.1", Route::notFound},
        {"POST /status HTTP/1.1", Route::notFound},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(routeFor(c.line), c.route) << c.line;
        EXPECT_EQ(requestedCodec(c.line), c.codec) << c.line;
    }
}

TEST(RequestReaderTest, TheHeadEndsAtItsBlankLineHoweverItArrives) {
    struct Case {
        std::vector<std::string> pieces;
        bool complete;
        std::string head;
        std::string requestLine;
    };
    const std::string longHeader = "X-Pad: " + std::string(9000, 'p');
    const Case cases[] = {
        {{"GE", "T /sta", "tus HTTP/1.1\r\nHost: x\r", "\n\r", "\n"}, true, "GET /status HTTP/1.1\r\nHost: x\r\n\r\n",
         "GET /status HTTP/1.1"},
        {{"GET /audio HTTP/1.1\n\nbody"}, true, "GET /audio HTTP/1.1\n\n", "GET /audio HTTP/1.1"},
        {{"GET /status \xFF HTTP/1.1\r\n\r\n"}, true, "GET /status \xFF HTTP/1.1\r\n\r\n", ""},
        {{"GET /status HTTP/1.1\r\nHost: x\r\n"}, false, "GET /status HTTP/1.1\r\nHost: x\r\n", "GET /status HTTP/1.1"},
        {{"GET /status HTTP/1.1\r\n", longHeader}, true, ("GET /status HTTP/1.1\r\n" + longHeader).substr(0, 8192),
         "GET /status HTTP/1.1"},
    };
    for (const auto& c : cases) {
        RequestReader reader;
        for (const auto& piece : c.pieces) reader.feed(piece);
        EXPECT_EQ(reader.complete(), c.complete) << c.head;
        EXPECT_EQ(reader.head(), c.head);
        EXPECT_EQ(reader.requestLine(), c.requestLine) << c.head;
    }
}

TEST(RequestTextTest, InvalidUtf8BecomesEmptyText) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"caf\xC3\xA9 \xF0\x9F\x8E\xA7", true},
        {"\xC0\xAF", false},          // overlong slash
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

// What the page polls; the audio head is read end to end (the capture tests).
TEST(WireTextTest, StatusDocumentsAreExact) {
    EXPECT_EQ(statusResponse(false),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 20\r\nAccess-Control-Allow-Origin: "
              "*\r\nCache-Control: no-cache\r\n\r\n{\"status\":\"waiting\"}");
    EXPECT_TRUE(statusResponse(true).ends_with("Content-Length: 22\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: "
                                               "no-cache\r\n\r\n{\"status\":\"streaming\"}"));
}
