#include "server/http_text.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace lumeno::server {

Route routeFor(std::string_view request) {
    // The substring rules stay as they were, only confined to the request line.
    if (request.find("GET /listen") != std::string_view::npos) return Route::page;
    if (request.find("GET /logo") != std::string_view::npos) return Route::logo;
    if (request.find("GET /status") != std::string_view::npos) return Route::status;
    if (request.find("GET /transcription") != std::string_view::npos) return Route::transcription;
    // Before the raw stream's route, which it would otherwise match.
    if (request.find("GET /audio.mp3") != std::string_view::npos) return Route::audioMp3;
    if (request.find("GET /audio") != std::string_view::npos) return Route::audio;
    // Checked last, so every path that had a route keeps it.
    if (request.find("GET /opus-decoder.js") != std::string_view::npos) return Route::decoderScript;
    return Route::notFound;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decodeQueryText(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}
}  // namespace

AudioCodec requestedCodec(std::string_view requestLine) {
    const std::size_t route = requestLine.find("GET /audio");
    if (route == std::string_view::npos) return AudioCodec::pcm;
    std::string_view target = requestLine.substr(route + 4);
    target = target.substr(0, target.find(' '));
    target = target.substr(0, target.find('#'));
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos) return AudioCodec::pcm;
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const std::size_t equals = pair.find('=');
        if (decodeQueryText(pair.substr(0, equals)) != "codec") continue;
        const std::string value = equals == std::string_view::npos ? "" : decodeQueryText(pair.substr(equals + 1));
        return equalsIgnoringCase(value, "opus") ? AudioCodec::opus : AudioCodec::pcm;
    }
    return AudioCodec::pcm;
}

bool RequestReader::feed(std::string_view bytes) {
    if (complete_) return true;
    // A blank line may straddle two pieces: search from a little before the new bytes.
    const std::size_t searchFrom = head_.size() < 3 ? 0 : head_.size() - 3;
    head_.append(bytes.substr(0, room()));
    for (std::size_t i = searchFrom; i < head_.size(); ++i) {
        if (head_[i] != '\n') continue;
        // "\n\n" or "\n\r\n": the line that ends here is empty.
        const bool lf = i + 1 < head_.size() && head_[i + 1] == '\n';
        const bool crlf = i + 2 < head_.size() && head_[i + 1] == '\r' && head_[i + 2] == '\n';
        if (lf || crlf) {
            head_.resize(i + (lf ? 2 : 3));
            complete_ = true;
            return true;
        }
    }
    if (head_.size() == kMaxHeadBytes) complete_ = true;
    return complete_;
}

std::string_view RequestReader::requestLine() const {
    std::string_view line(head_);
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return isValidUtf8(line) ? line : std::string_view();
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t codePoint;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            codePoint = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            codePoint = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            codePoint = codePoint << 6 | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kMinimum[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::string requestText(const std::vector<std::uint8_t>& bytes) {
    std::string text(bytes.begin(), bytes.end());
    return isValidUtf8(text) ? text : std::string();
}

std::string logSafePrefix(std::string_view text, std::size_t characters) {
    std::string out;
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size() && count < characters; ++count) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        length = std::min(length, text.size() - i);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string statusResponse(bool streaming) {
    const std::string body = streaming ? R"({"status":"streaming"})" : R"({"status":"waiting"})";
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: no-cache\r\n\r\n" + body;
}

std::string audioStreamHead(double sampleRate, std::uint32_t channels) {
    const double truncated = std::trunc(sampleRate);
    const long long rate = std::isfinite(truncated) ? static_cast<long long>(truncated) : 44100;
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nX-Sample-Rate: " + std::to_string(rate) +
           "\r\nX-Channels: " + std::to_string(channels) + "\r\nCache-Control: no-cache\r\n\r\n";
}

std::string opusStreamHead() {
    return "HTTP/1.1 200 OK\r\nContent-Type: audio/ogg; codecs=opus\r\nX-Sample-Rate: 48000\r\nX-Channels: "
           "1\r\nCache-Control: no-cache\r\n\r\n";
}

std::string mp3StreamHead() {
    return "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nCache-Control: no-cache\r\n\r\n";
}

std::string serviceUnavailableResponse(std::string_view message) {
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           std::to_string(message.size()) + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n" +
           std::string(message);
}

std::string eventFrame(std::string_view message) {
    std::string frame;
    frame.reserve(message.size() + 8);
    frame += "data: ";
    frame += message;
    frame += "\n\n";
    return frame;
}

}  // namespace lumeno::server
