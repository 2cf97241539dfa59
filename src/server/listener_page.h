#pragma once

#include <memory>
#include <optional>
#include <string>

#include "prefs/preferences_manager.h"
#include "server/simple_http_server.h"

namespace lumeno::server {

// The branding and caption settings one page is built from.
struct PageSettings {
    bool transcriptionEnabled = false;
    bool useCustomLogo = false;
    bool hasLogo = false;
    double logoTimestamp = 0.0;
    std::optional<std::string> title;     // absent: the default heading
    std::optional<std::string> subtitle;  // absent: the default subtitle
};

std::string escapeHTML(const std::string& text);

// The whole document; `now` (seconds since 1970) stands in for a missing logo timestamp.
std::string buildListenerPage(const PageSettings& settings, double now);
std::string listenerPageResponse(const std::string& page);

// "image/png" and the like from a file extension, compared lower-cased.
std::string logoContentType(const std::optional<std::string>& extension);
inline constexpr const char* kSvgLogoPolicy = "default-src 'none'; style-src 'unsafe-inline'";
// An SVG logo's head also carries kSvgLogoPolicy as its Content-Security-Policy.
std::string logoResponseHead(const std::string& contentType, std::size_t length);

// The whole response for "/opus-decoder.js", built once and shared by every reader.
const core::SharedBytes& decoderScriptResponse();

// Serves "/listen" and "/logo" from the current settings, so branding changes reach listeners at
// their next page load. The page is built once per change of the settings and its bytes shared
// by every reader until the next. Thread: io.
class ListenerPage final : public PageResponder {
public:
    ListenerPage(std::shared_ptr<prefs::PreferencesStore> store, SimpleHTTPServer& server)
        : store_(std::move(store)), server_(server) {}

    void sendListenerPage(const std::shared_ptr<Connection>& connection) override;
    void sendLogo(const std::shared_ptr<Connection>& connection) override;
    void sendDecoderScript(const std::shared_ptr<Connection>& connection) override;

    PageSettings currentSettings() const;
    // The whole "/listen" response: the same buffer until a setting changes.
    core::SharedBytes pageResponse();

private:
    std::shared_ptr<prefs::PreferencesStore> store_;
    SimpleHTTPServer& server_;
    core::SharedBytes page_;
    std::uint64_t pageVersion_ = 0;
};

}  // namespace lumeno::server
