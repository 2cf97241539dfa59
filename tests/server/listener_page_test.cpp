#include <fstream>
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

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}
}  // namespace

TEST(EscapeHTMLTest, EscapesTheFiveCharactersAndNothingElse) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"Tom & Jerry's <Show>", "Tom &amp; Jerry&#39;s &lt;Show&gt;"},
        {"say \"hi\"", "say &quot;hi&quot;"},
        {"&amp;", "&amp;amp;"},
        {"Église 🎧 {{script}}", "Église 🎧 {{script}}"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeHTML(c.in), c.out);
}

TEST(ListenerPageBuildTest, DefaultsWithoutCaptions) {
    const std::string page = buildListenerPage({}, 1.0);
    EXPECT_TRUE(contains(page, "<h1>🎧 Audio Stream</h1>"));
    EXPECT_TRUE(contains(page, "<title>Assistive Listening Service</title>"));
    EXPECT_TRUE(contains(page, "<p class=\"subtitle\">Assistive Listening Service</p>"));
    EXPECT_TRUE(contains(page, "const transcriptionEnabled = false;"));
    EXPECT_FALSE(contains(page, "transcriptionContainer\""));
    EXPECT_FALSE(contains(page, "{{")) << "every marker is filled";
    for (const char* id : {"id=\"levelBar\"", "id=\"toggleBtn\"", "id=\"status\"", "id=\"iosWarning\""})
        EXPECT_TRUE(contains(page, id)) << id;
    EXPECT_TRUE(contains(page, ">Checking stream availability...</div>"));
}

TEST(ListenerPageBuildTest, CaptionsBlockAndConstantFollowTheSpeechSetting) {
    const std::string page = buildListenerPage({.transcriptionEnabled = true}, 1.0);
    EXPECT_TRUE(contains(page, "const transcriptionEnabled = true;"));
    for (const char* id : {"transcriptionContainer", "transcriptionBox", "transcriptionScroller", "fullscreenOverlay",
                           "fullscreenTranscriptionBox", "fullscreenScroller"})
        EXPECT_TRUE(contains(page, std::string("id=\"") + id + "\"")) << id;
}

TEST(ListenerPageBuildTest, BrandingIsEscapedAndNeverTakenForMarkup) {
    PageSettings settings;
    settings.title = "Tom & Jerry's <Show> {{script}}";
    settings.subtitle = "The \"Big\" Room";
    const std::string page = buildListenerPage(settings, 1.0);
    EXPECT_TRUE(contains(page, "<h1>Tom &amp; Jerry&#39;s &lt;Show&gt; {{script}}</h1>"));
    EXPECT_TRUE(contains(page, "<title>The &quot;Big&quot; Room</title>"));
    EXPECT_TRUE(contains(page, "<p class=\"subtitle\">The &quot;Big&quot; Room</p>"));

    settings.title = "";
    EXPECT_TRUE(contains(buildListenerPage(settings, 1.0), "<h1></h1>")) << "an empty stored title stays empty";
}

TEST(ListenerPageBuildTest, LogoReplacesTheHeadingOnlyWhenSwitchedOnAndStored) {
    struct Case {
        bool use, has;
        double stamp;
        std::string expected;
    };
    const Case cases[] = {
        {true, true, 1733400000.75, "<img id=\"logo\" src=\"/logo?t=1733400000\" alt=\"Logo\""},
        {true, true, 0.0, "src=\"/logo?t=1765000123\""},
        {true, false, 5.0, "<h1>🎧 Audio Stream</h1>"},
        {false, true, 5.0, "<h1>🎧 Audio Stream</h1>"},
    };
    for (const auto& c : cases) {
        const std::string page =
            buildListenerPage({.useCustomLogo = c.use, .hasLogo = c.has, .logoTimestamp = c.stamp}, 1765000123.9);
        EXPECT_TRUE(contains(page, c.expected)) << c.expected;
    }
}

TEST(LogoContentTypeTest, ExtensionIsComparedLowerCased) {
    struct Case {
        std::optional<std::string> ext;
        std::string type;
    };
    const Case cases[] = {{"PNG", "image/png"},   {"jpg", "image/jpeg"}, {"JPEG", "image/jpeg"},
                          {"gif", "image/gif"},   {"svg", "image/svg+xml"}, {"webp", "application/octet-stream"},
                          {std::nullopt, "application/octet-stream"}};
    for (const auto& c : cases) EXPECT_EQ(logoContentType(c.ext), c.type) << c.ext.value_or("(none)");
}

// Only an SVG can carry script, so only its head restricts what the document may run.
TEST(LogoResponseHeadTest, OnlyAnSvgLogoCarriesThePolicyHeader) {
    const std::string policy = "\r\nContent-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\r\n";
    for (const char* type : {"image/svg+xml", "image/png", "image/jpeg", "image/gif", "application/octet-stream"}) {
        const std::string head = logoResponseHead(type, 10);
        EXPECT_EQ(head.find(policy) != std::string::npos, std::string(type) == "image/svg+xml") << type;
        EXPECT_TRUE(head.ends_with("\r\nConnection: close\r\n\r\n")) << type;
    }
}

TEST(TranscriptionMessageTest, IsCompactJsonWithFiveMembersThatSurvivesAnyText) {
    const std::string texts[] = {"hello", "<script>alert('x')</script>", "line one\nline two\r\n", "say \"amen\" 🙏",
                                 std::string("bad \xFF utf8")};
    for (const auto& text : texts) {
        const std::string message = makeTranscriptionMessage(text, false, 1765000000.5, "en-US");
        EXPECT_EQ(message.find('\n'), std::string::npos) << "a line break would end the event";
        const auto parsed = nlohmann::json::parse(message);
        EXPECT_EQ(parsed.size(), 5u);
        EXPECT_EQ(parsed["type"], "transcription");
        EXPECT_EQ(parsed["isFinal"], false);
        EXPECT_EQ(parsed["timestamp"], 1765000000.5);
        EXPECT_EQ(parsed["language"], "en-US");
        if (text.find(static_cast<char>(0xFF)) == std::string::npos) {
            EXPECT_EQ(parsed["text"], text);
        }
    }
}

namespace lumeno::testing {

class ListenerPageServerTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        server_->setPageResponder(std::make_shared<ListenerPage>(store_, *server_));
    }
    std::shared_ptr<prefs::PreferencesStore> store_ = std::make_shared<prefs::PreferencesStore>(log_);
};

TEST_F(ListenerPageServerTest, PageHeadCountsUtf8BytesAndFollowsEverySettingsChange) {
    const std::string response = fetch(port(), "GET /listen HTTP/1.1\r\n\r\n");
    const auto split = response.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    const std::string head = response.substr(0, split + 4);
    const std::string body = response.substr(split + 4);
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(contains(body, "🎧"));

    store_->setString(key::kCustomTitle, "Chapel");
    store_->setBool(key::kSpeechRecognitionEnabled, true);
    const std::string changed = fetch(port(), "GET /listen?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(contains(changed, "<h1>Chapel</h1>"));
    EXPECT_TRUE(contains(changed, "const transcriptionEnabled = true;"));

    // Built once per change and shared by every reader; a 1 MB title costs each of them 200 characters.
    ListenerPage page(store_, *server_);
    const auto before = page.pageResponse();
    EXPECT_EQ(page.pageResponse(), before);
    store_->setString(key::kCustomTitle, std::string(1 << 20, 'x'));
    const auto after = page.pageResponse();
    EXPECT_NE(after, before);
    EXPECT_TRUE(contains(std::string(after->begin(), after->end()), "<h1>" + std::string(200, 'x') + "</h1>"));
    EXPECT_LT(after->size(), before->size() + 200);
}

TEST_F(ListenerPageServerTest, LogoIsServedWholeWithItsTypeOr404) {
    EXPECT_EQ(fetch(port(), "GET /logo HTTP/1.1\r\n\r\n"), server::kNotFoundResponse);
    std::string image(5 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
    store_->setData(key::kLogoImageData, image);
    store_->setString(key::kLogoFileExtension, "PNG");
    const std::string response = fetch(port(), "GET /logo?t=5 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response, logoResponseHead("image/png", image.size()) + image);
    EXPECT_TRUE(log_.contains("Serving logo"));
}

TEST_F(ListenerPageServerTest, StalledLogoReadersShareOneBufferAndAreCutOff) {
    constexpr std::size_t kLogoBytes = 16 << 20;
    store_->setData(key::kLogoImageData, std::string(kLogoBytes, 'L'));
    const long before = residentKilobytes();
    std::vector<TestClient> readers;
    for (int i = 0; i < 10; ++i) {
        readers.emplace_back(port(), "127.0.0.1", 4096);
        readers.back().send("GET /logo HTTP/1.1\r\n\r\n");
    }
    ASSERT_TRUE(queue_.runUntil([&] { return log_.count("Serving logo") == 10; }));
    std::this_thread::sleep_for(200ms);
    // A copy per reader would be ten logos.
    EXPECT_LT(residentKilobytes() - before, static_cast<long>(2 * kLogoBytes / 1024));
    for (auto& reader : readers) EXPECT_TRUE(reader.waitForClose(30s)) << "a reader that takes nothing is cut off";
}

}  // namespace lumeno::testing
