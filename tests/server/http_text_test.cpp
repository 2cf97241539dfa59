#include <gtest/gtest.h>

#include "server/http_text.h"

using namespace lumeno::server;

TEST(RouteTest, FirstMatchingSubstringOfTheRequestLineWins) {
    struct Case {
        std::string request;
        Route expected;
    };
    const Case cases[] = {
        {"GET /listening?x=1 HTTP/1.1\r\n\r\n", Route::page},
        {"GET /audio?from=GET /listen HTTP/1.1", Route::page},
        {"GET /logo?t=5 HTTP/1.1\r\n\r\n", Route::logo},
        {"GET /status.json HTTP/1.1\r\n\r\n", Route::status},
        {"GET /transcription HTTP/1.1\r\n\r\n", Route::transcription},
        {"GET /audio HTTP/1.1\r\n\r\n", Route::audio},
        {"GET /audio.mp3?codec=opus HTTP/1.1\r\n\r\n", Route::audioMp3},
        {"GET /opus-decoder.js HTTP/1.1\r\n\r\n", Route::decoderScript},
        {"GET /audio/opus-decoder.js HTTP/1.1\r\n\r\n", Route::audio},  // a path that had a route keeps it
        {"GET / HTTP/1.1\r\n\r\n", Route::notFound},
        {"POST /status HTTP/1.1\r\n\r\n", Route::notFound},
        {"get /status HTTP/1.1\r\n\r\n", Route::notFound},
        {"GET", Route::notFound},
    };
    for (const auto& c : cases) EXPECT_EQ(routeFor(c.request), c.expected) << c.request;
}

TEST(RouteTest, OnlyACodecParameterOfOpusAsksForTheCompressedStream) {
    struct Case {
        std::string requestLine;
        AudioCodec expected;
    };
    const Case cases[] = {
        {"GET /audio?x=1&codec=OPUS HTTP/1.1", AudioCodec::opus},
        {"GET /audio?c%6Fdec=%6fpus#t HTTP/1.1", AudioCodec::opus},
        {"GET /audio?codec=opus", AudioCodec::opus},
        {"GET /audio HTTP/1.1", AudioCodec::pcm},
        {"GET /audio?codec=pcm&codec=opus HTTP/1.1", AudioCodec::pcm},  // the first one counts
        {"GET /audio?codec=opus2 HTTP/1.1", AudioCodec::pcm},
        {"GET /audio?codec=%ZZ HTTP/1.1", AudioCodec::pcm},
        {"GET /audio?xcodec=opus HTTP/1.1", AudioCodec::pcm},
        {"GET /audio HTTP/1.1 ?codec=opus", AudioCodec::pcm},
        {"GET /audio#?codec=opus HTTP/1.1", AudioCodec::pcm},
        {"GET /audio?codec=opus%", AudioCodec::pcm},
    };
    for (const auto& c : cases) EXPECT_EQ(requestedCodec(c.requestLine), c.expected) << c.requestLine;
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
        {{"GET /status HTTP/1.1\r\n\r\n"}, true, "GET /status HTTP/1.1\r\n\r\n", "GET /status HTTP/1.1"},
        {{"GE", "T /sta", "tus HTTP/1.1\r\nHost: x\r", "\n\r", "\n"}, true, "GET /status HTTP/1.1\r\nHost: x\r\n\r\n",
         "GET /status HTTP/1.1"},
        {{"GET /audio HTTP/1.1\r\n\r\nGET /status HTTP/1.1\r\n\r\n"}, true, "GET /audio HTTP/1.1\r\n\r\n", "GET /audio HTTP/1.1"},
        {{"GET /audio HTTP/1.1\n\nbody"}, true, "GET /audio HTTP/1.1\n\n", "GET /audio HTTP/1.1"},
        {{"GET /audio HTTP/1.1\r\nX-Bad: \xFF\r\n\r\n"}, true, "GET /audio HTTP/1.1\r\nX-Bad: \xFF\r\n\r\n", "GET /audio HTTP/1.1"},
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
    EXPECT_TRUE(statusResponse(true).ends_with("Content-Length: 22\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: "
                                               "no-cache\r\n\r\n{\"status\":\"streaming\"}"));
    EXPECT_EQ(audioStreamHead(22050.5, 2),
              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nX-Sample-Rate: 22050\r\nX-Channels: "
              "2\r\nCache-Control: no-cache\r\n\r\n");
}
