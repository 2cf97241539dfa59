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

enum class Route { page, logo, status, transcription, audio, notFound };

// Substring routing over the whole chunk, request line and headers alike, first match wins.
Route routeFor(std::string_view request);

// The request as text: the bytes when they are valid UTF-8, otherwise empty.
std::string requestText(const std::vector<std::uint8_t>& bytes);

// The first `characters` code points of valid UTF-8 text, with control characters escaped so a
// request can never break or forge a log line.
std::string logSafePrefix(std::string_view text, std::size_t characters);

bool isValidUtf8(std::string_view text);

std::string statusResponse(bool streaming);
std::string audioStreamHead(double sampleRate, std::uint32_t channels);
std::string eventFrame(std::string_view message);

}  // namespace lumeno::server
