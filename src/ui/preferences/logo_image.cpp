#include "ui/preferences/logo_image.h"

#include <cctype>

namespace lumeno::ui {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

void skipSpace(std::string_view& text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
}

// Skips one "<?...?>", "<!--...-->" or "<!DOCTYPE ...>" at the front; false when there is none.
bool skipProlog(std::string_view& text) {
    const auto skipPast = [&](std::string_view end) {
        const auto at = text.find(end);
        if (at == std::string_view::npos) return false;
        text.remove_prefix(at + end.size());
        return true;
    };
    if (startsWith(text, "<?")) return skipPast("?>");
    if (startsWith(text, "<!--")) return skipPast("-->");
    if (startsWith(text, "<!DOCTYPE") || startsWith(text, "<!doctype")) return skipPast(">");
    return false;
}

bool isSvgDocument(std::string_view text) {
    if (startsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
    for (;;) {
        skipSpace(text);
        if (!skipProlog(text)) break;
    }
    if (!startsWith(text, "<svg") || text.size() < 5) return false;
    const char after = text[4];
    return after == '>' || after == '/' || std::isspace(static_cast<unsigned char>(after));
}

}  // namespace

std::optional<LogoKind> detectLogoKind(std::string_view bytes) {
    if (startsWith(bytes, "\x89PNG\r\n\x1A\n")) return LogoKind::png;
    if (startsWith(bytes, "\xFF\xD8\xFF")) return LogoKind::jpeg;
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) return LogoKind::gif;
    if (isSvgDocument(bytes)) return LogoKind::svg;
    return std::nullopt;
}

const char* logoExtension(LogoKind kind) {
    switch (kind) {
        case LogoKind::png: return "png";
        case LogoKind::jpeg: return "jpg";
        case LogoKind::gif: return "gif";
        case LogoKind::svg: return "svg";
    }
    return "png";
}

}  // namespace lumeno::ui
