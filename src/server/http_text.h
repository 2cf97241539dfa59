#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The server's wire texts and request classification, kept free of sockets so they can be
// tested byte for byte.
namespace lumeno::server {

inline constexpr std::string_view kNotFoundResponse = "HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n";
inline constexpr std::string_view kEventStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\nConnection: "
    "keep-alive\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
inline constexpr std::string_view kKeepAlive = ":keepalive\n\n";

enum class Route { page, logo, status, transcription, audio, audioMp3, decoderScript, notFound };

// Substring routing over the request line, first match wins; headers never take part.
Route routeFor(std::string_view requestLine);

enum class AudioCodec { pcm, opus };

// The codec an audio request prefers through its "codec" query parameter (the first one
// counts, percent-escapes decoded, case ignored). Anything unknown or absent is the raw stream:
// the parameter is a preference, never an error.
AudioCodec requestedCodec(std::string_view requestLine);

// Collects the bytes of one request head as they arrive in any number of pieces. The head ends
// at its blank line; a head that outgrows the limit, or a peer that stops sending, ends it
// where it is. Bytes after the head (a body, pipelined requests) are never kept.
class RequestReader {
public:
    static constexpr std::size_t kMaxHeadBytes = 8192;

    // Adds received bytes; true once the head is complete.
    bool feed(std::string_view bytes);
    bool complete() const { return complete_; }
    // Room left before the head is cut at the limit.
    std::size_t room() const { return kMaxHeadBytes - head_.size(); }
    // The head so far (up to and including its blank line once complete).
    std::string_view head() const { return head_; }
    // The head's first line without its line end, or empty when it is not valid UTF-8.
    std::string_view requestLine() const;

private:
    std::string head_;
    bool complete_ = false;
};

// The request as text: the bytes when they are valid UTF-8, otherwise empty.
std::string requestText(const std::vector<std::uint8_t>& bytes);

// The first `characters` code points of valid UTF-8 text, with control characters escaped so a
// request can never break or forge a log line.
std::string logSafePrefix(std::string_view text, std::size_t characters);

bool isValidUtf8(std::string_view text);

std::string statusResponse(bool streaming);
std::string audioStreamHead(double sampleRate, std::uint32_t channels);
// The compressed stream's head: the raw head's shape, announcing what the decoder outputs.
std::string opusStreamHead();
// The MP3 stream's head: what a media element needs to play an endless stream, nothing more.
std::string mp3StreamHead();
// A short plain-text answer for a stream that cannot be served now; closes the connection.
std::string serviceUnavailableResponse(std::string_view message);
std::string eventFrame(std::string_view message);

}  // namespace lumeno::server
