// Any bytes, cut into pieces as TCP might deliver them, as a request head: the head is the same
// however it arrives, never outgrows its limit, and what is routed and logged is clean text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/http_text.h"

using namespace lumeno::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the piece length.
    const std::size_t piece = 1 + data[0] % 17;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    RequestReader whole, pieces;
    whole.feed(bytes);
    for (std::size_t at = 0; at < bytes.size() && !pieces.complete(); at += piece) pieces.feed(bytes.substr(at, piece));
    if (whole.head() != pieces.head() || whole.complete() != pieces.complete()) __builtin_trap();
    if (whole.head().size() > RequestReader::kMaxHeadBytes) __builtin_trap();
    if (bytes.substr(0, whole.head().size()) != whole.head()) __builtin_trap();

    const std::string_view line = whole.requestLine();
    if (line.find('\n') != std::string_view::npos || !isValidUtf8(line)) __builtin_trap();
    (void)routeFor(line);
    const std::string logged = logSafePrefix(isValidUtf8(whole.head()) ? whole.head() : line, 100);
    if (!isValidUtf8(logged)) __builtin_trap();
    for (const char c : logged)
        if (static_cast<unsigned char>(c) < 0x20) __builtin_trap();  // a request never forges a log line
    return 0;
}
