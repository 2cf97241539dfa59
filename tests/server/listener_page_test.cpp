#include <nlohmann/json.hpp>

#include "prefs/keys.h"
#include "server/http_text.h"
#include "server/listener_page.h"
#include "server/transcription_message.h"
#include "server_fixture.h"

using namespace lumeno;
using namespace lumeno::server;
namespace key = prefs::key;
using namespace std::chrono_literals;

namespace {
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
}  // namespace

// Branding is escaped and never taken for markup or a marker; the logo replaces the heading only
// when switched on and stored, at its own timestamp or else the time of the build.
TEST(ListenerPageBuildTest, TheSettingsFillThePage) {
    struct Case {
        PageSettings settings;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {{},
         {"<h1>🎧 Audio Stream</h1>", "<title>Assistive Listening Service</title>", "const transcriptionEnabled = false;"},
         {"{{", "id=\"transcriptionBox\""}},
        {{.title = "Tom & Jerry's <Show> {{script}} &amp; Église", .subtitle = "The \"Big\" Room"},
         {"<h1>Tom &amp; Jerry&#39;s &lt;Show&gt; {{script}} &amp;amp; Église</h1>", "<title>The &quot;Big&quot; Room</title>",
          "<p class=\"subtitle\">The &quot;Big&quot; Room</p>"},
         {}},
        {{.transcriptionEnabled = true}, {"const transcriptionEnabled = true;", "id=\"transcriptionBox\""}, {}},
        {{.useCustomLogo = true, .hasLogo = true, .logoTimestamp = 1733400000.75},
         {"<img id=\"logo\" src=\"/logo?t=1733400000\" alt=\"Logo\""}, {"<h1>"}},
        {{.useCustomLogo = true, .hasLogo = true}, {"src=\"/logo?t=1765000123\""}, {}},
        {{.useCustomLogo = true}, {"<h1>🎧 Audio Stream</h1>"}, {"id=\"logo\""}},
    };
    for (const auto& c : cases) {
        const std::string page = buildListenerPage(c.settings, 1765000123.9);
        for (const auto& part : c.present) EXPECT_TRUE(contains(page, part)) << part;
        for (const auto& part : c.absent) EXPECT_FALSE(contains(page, part)) << part;
    }
}

// Only an SVG can carry script, so only its head restricts what the document may run.
TEST(LogoResponseTest, TypeFollowsTheExtensionAndOnlyAnSvgCarriesThePolicy) {
    struct Case {
        std::optional<std::string> ext;
        std::string type;
    };
    const Case cases[] = {{"PNG", "image/png"}, {"SVG", "image/svg+xml"}, {"webp", "application/octet-stream"},
                          {std::nullopt, "application/octet-stream"}};
    for (const auto& c : cases) {
        EXPECT_EQ(logoContentType(c.ext), c.type) << c.ext.value_or("(none)");
        const std::string head = logoResponseHead(c.type, 10);
        EXPECT_EQ(contains(head, "\r\nContent-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\r\n"),
                  c.type == "image/svg+xml") << c.type;
    }
}

TEST(TranscriptionMessageTest, IsCompactJsonWithFiveMembersThatSurvivesAnyText) {
    for (const std::string text : {"<script>alert('x')</script>", "line one\nline two\r\n", "say \"amen\" 🙏", "bad \xFF utf8"}) {
        const std::string message = makeTranscriptionMessage(text, false, 1765000000.5, "en-US");
        EXPECT_EQ(message.find('\n'), std::string::npos) << "a line break would end the event";
        auto parsed = nlohmann::json::parse(message);
        if (!text.starts_with("bad")) {
            EXPECT_EQ(parsed["text"], text);
        }
        parsed.erase("text");
        EXPECT_EQ(parsed, nlohmann::json({{"type", "transcription"}, {"isFinal", false}, {"timestamp", 1765000000.5}, {"language", "en-US"}}));
    }
}

namespace lumeno::testing {

class ListenerPageServerTest : public ServerTest {
protected:
    void SetUp() override {
        startServer({.maxQueuedSeconds = 0.25});
        server_->setPageResponder(std::make_shared<ListenerPage>(store_, *server_));
    }
    std::shared_ptr<prefs::PreferencesStore> store_ = std::make_shared<prefs::PreferencesStore>(log_);
};

TEST_F(ListenerPageServerTest, PageHeadCountsUtf8BytesAndFollowsEverySettingsChange) {
    const std::string response = fetch(port(), "GET /listen HTTP/1.1\r\n\r\n");
    const std::string body = response.substr(response.find("\r\n\r\n") + 4);
    EXPECT_EQ(response, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    EXPECT_TRUE(contains(body, "🎧"));
    store_->setString(key::kCustomTitle, "Chapel");
    store_->setBool(key::kSpeechRecognitionEnabled, true);
    const std::string changed = fetch(port(), "GET /listen?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(contains(changed, "<h1>Chapel</h1>"));
    EXPECT_TRUE(contains(changed, "const transcriptionEnabled = true;"));
}

TEST_F(ListenerPageServerTest, LogoIsServedWholeWithItsTypeOr404AndAReaderThatTakesNothingIsCutOff) {
    EXPECT_EQ(fetch(port(), "GET /logo HTTP/1.1\r\n\r\n"), server::kNotFoundResponse);
    std::string image(16 << 20, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
    store_->setData(key::kLogoImageData, image);
    store_->setString(key::kLogoFileExtension, "PNG");
    TestClient stalled(port(), "127.0.0.1", 4096);
    stalled.send("GET /logo HTTP/1.1\r\n\r\n");
    EXPECT_EQ(fetch(port(), "GET /logo?t=5 HTTP/1.1\r\n\r\n"), logoResponseHead("image/png", image.size()) + image);
    std::this_thread::sleep_for(700ms);  // a few stall timeouts of taking nothing
    EXPECT_LT(stalled.readUntilClosed().size(), image.size()) << "a reader that takes nothing is cut off";
}

}  // namespace lumeno::testing
