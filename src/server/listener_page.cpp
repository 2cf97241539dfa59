#include "server/listener_page.h"

#include <algorithm>
#include <cmath>

#include "prefs/keys.h"
#include "server/transcription_message.h"

namespace lumeno::server::web {
std::string_view listener_html();
std::string_view listener_css();
std::string_view listener_js();
std::string_view playback_js();
std::string_view ogg_opus_js();
std::string_view pcm_js();
std::string_view captions_js();
std::string_view captions_html();
}  // namespace lumeno::server::web

namespace lumeno::server::vendor {
std::string_view opus_decoder_min_js();
}  // namespace lumeno::server::vendor

namespace lumeno::server {

std::string escapeHTML(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

namespace {

// Fills {{name}} markers in one pass, so text from the settings can never be taken for a marker.
template <typename Lookup>
std::string fillTemplate(std::string_view text, Lookup lookup) {
    std::string out;
    out.reserve(text.size() * 2);
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find("{{", i);
        if (open == std::string_view::npos) break;
        const std::size_t close = text.find("}}", open + 2);
        if (close == std::string_view::npos) break;
        out.append(text.substr(i, open - i));
        out.append(lookup(text.substr(open + 2, close - open - 2)));
        i = close + 2;
    }
    out.append(text.substr(i));
    return out;
}

}  // namespace

std::string buildListenerPage(const PageSettings& settings, double now) {
    std::string heading;
    if (settings.useCustomLogo && settings.hasLogo) {
        const double stamp = settings.logoTimestamp > 0 ? settings.logoTimestamp : now;
        const auto t = static_cast<long long>(std::trunc(stamp));
        heading = "<img id=\"logo\" src=\"/logo?t=" + std::to_string(t) +
                  "\" alt=\"Logo\" style=\"width:400px;max-width: 50%; max-height: 120px; object-fit: contain;\">";
    } else {
        heading = "<h1>" + escapeHTML(settings.title.value_or(prefs::kDefaultTitle)) + "</h1>";
    }
    const std::string subtitle = escapeHTML(settings.subtitle.value_or(prefs::kDefaultSubtitle));
    return fillTemplate(web::listener_html(), [&](std::string_view name) -> std::string {
        if (name == "documentTitle" || name == "subtitle") return subtitle;
        if (name == "styleSheet") return std::string(web::listener_css());
        if (name == "heading") return heading;
        if (name == "captions") return settings.transcriptionEnabled ? std::string(web::captions_html()) : "";
        if (name == "transcriptionEnabled") return settings.transcriptionEnabled ? "true" : "false";
        if (name == "script") {
            // One inline script: the page works from its own bytes, and listener.js, which uses the
            // others, comes last.
            std::string script;
            for (const auto part : {web::playback_js(), web::ogg_opus_js(), web::pcm_js(), web::captions_js(), web::listener_js()})
                script.append(part);
            return script;
        }
        return {};
    });
}

std::string listenerPageResponse(const std::string& page) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: " + std::to_string(page.size()) +
           "\r\nConnection: close\r\n\r\n" + page;
}

std::string logoContentType(const std::optional<std::string>& extension) {
    std::string lower = extension.value_or("");
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "png") return "image/png";
    if (lower == "jpg" || lower == "jpeg") return "image/jpeg";
    if (lower == "gif") return "image/gif";
    if (lower == "svg") return "image/svg+xml";
    return "application/octet-stream";
}

std::string logoResponseHead(const std::string& contentType, std::size_t length) {
    // An SVG opened on its own is a document of the page's origin: the policy keeps any script
    // in it from running there, while its inline styles still apply.
    const std::string policy =
        contentType == "image/svg+xml" ? "\r\nContent-Security-Policy: " + std::string(kSvgLogoPolicy) : "";
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType + policy + "\r\nContent-Length: " +
           std::to_string(length) +
           "\r\nCache-Control: no-cache, no-store, must-revalidate\r\nPragma: no-cache\r\nExpires: 0\r\nConnection: "
           "close\r\n\r\n";
}

const core::SharedBytes& decoderScriptResponse() {
    // It changes only with Lumeno itself, so phones may keep it for a day.
    static const core::SharedBytes response = [] {
        const std::string_view script = vendor::opus_decoder_min_js();
        return core::makeBytes("HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=UTF-8\r\nContent-Length: " +
                               std::to_string(script.size()) +
                               "\r\nCache-Control: max-age=86400\r\nConnection: close\r\n\r\n" + std::string(script));
    }();
    return response;
}

PageSettings ListenerPage::currentSettings() const {
    namespace key = prefs::key;
    PageSettings settings;
    settings.transcriptionEnabled = store_->boolForKey(key::kSpeechRecognitionEnabled);
    settings.useCustomLogo = store_->boolForKey(key::kUseCustomLogo);
    settings.hasLogo = store_->sharedDataForKey(key::kLogoImageData) != nullptr;
    settings.logoTimestamp = store_->doubleForKey(key::kLogoTimestamp);
    settings.title = store_->stringForKey(key::kCustomTitle);
    settings.subtitle = store_->stringForKey(key::kCustomSubtitle);
    return settings;
}

core::SharedBytes ListenerPage::pageResponse() {
    // The version is read before the values: a write in between only costs one more build.
    const std::uint64_t version = store_->version();
    if (!page_ || version != pageVersion_) {
        page_ = core::makeBytes(listenerPageResponse(buildListenerPage(currentSettings(), secondsSince1970())));
        pageVersion_ = version;
    }
    return page_;
}

void ListenerPage::sendListenerPage(const std::shared_ptr<Connection>& connection) {
    connection->send(pageResponse(), [connection](std::error_code) { connection->cancel(); });
}

void ListenerPage::sendDecoderScript(const std::shared_ptr<Connection>& connection) {
    connection->send(decoderScriptResponse(), [connection](std::error_code) { connection->cancel(); });
}

void ListenerPage::sendLogo(const std::shared_ptr<Connection>& connection) {
    // The stored bytes go out as they are: every reader of one logo version shares one buffer.
    auto logo = store_->sharedDataForKey(prefs::key::kLogoImageData);
    if (!logo) return server_.sendNotFound(connection);
    const std::string head = logoResponseHead(logoContentType(store_->stringForKey(prefs::key::kLogoFileExtension)), logo->size());
    connection->send(core::makeBytes(head));
    connection->send(std::move(logo), [connection](std::error_code) { connection->cancel(); });
}

}  // namespace lumeno::server
