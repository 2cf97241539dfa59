#include <QCheckBox>
#include <QPushButton>

#include "preferences_harness.h"
#include "server/http_text.h"
#include "server/listener_page.h"
#include "server/simple_http_server.h"
#include "support/test_client.h"
#include "ui/preferences/appearance_page.h"

using namespace lumeno;
using lumeno::testing::fetch;

namespace {

class LogoEndToEndTest : public lumeno::testing::PreferencesTest {
protected:
    void SetUp() override {
        server::SimpleHTTPServer::Options options;
        options.bindAddress = "127.0.0.1";
        server_ = server::SimpleHTTPServer::create(0, std::nullopt, {queue_, notifications_, log_}, options);
        server_->setPageResponder(std::make_shared<server::ListenerPage>(store_, *server_));
        server_->start();
        ASSERT_TRUE(log_.waitForPrefix("Server ready on port "));
    }
    void TearDown() override { server_->stop(); }

    std::string get(const std::string& path) { return fetch(server_->port(), "GET " + path + " HTTP/1.1\r\n\r\n"); }
    static std::string head(const std::string& response) { return response.substr(0, response.find("\r\n\r\n") + 4); }
    static std::string body(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }

    std::shared_ptr<server::SimpleHTTPServer> server_;
};

}  // namespace

TEST_F(LogoEndToEndTest, LogoChosenInTheWindowIsWhatListenersGet) {
    auto& page = makeWindow().appearance();
    EXPECT_NE(get("/listen").find("<h1>🎧 Audio Stream</h1>"), std::string::npos);

    page.useLogoCheckbox()->click();
    const QByteArray png = imageBytes();
    dialogs_.answers = {writeFile("church.png", png)};
    page.selectLogoButton()->click();
    const std::string listen = get("/listen");
    EXPECT_NE(listen.find("<img id=\"logo\" src=\"/logo?t="), std::string::npos);
    EXPECT_EQ(listen.find("<h1>"), std::string::npos);
    const std::string logo = get("/logo");
    EXPECT_NE(head(logo).find("Content-Type: image/png\r\n"), std::string::npos);
    EXPECT_EQ(head(logo).find("Content-Security-Policy"), std::string::npos);
    EXPECT_EQ(body(logo), png.toStdString());

    // A picture named .png that is really an SVG is served as the SVG it is, under the policy.
    const QByteArray svg = svgBytes();
    dialogs_.answers = {writeFile("misnamed.png", svg)};
    page.selectLogoButton()->click();
    const std::string svgLogo = get("/logo");
    EXPECT_NE(head(svgLogo).find("Content-Type: image/svg+xml\r\n"), std::string::npos);
    EXPECT_NE(head(svgLogo).find("\r\nContent-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\r\n"),
              std::string::npos);
    EXPECT_EQ(body(svgLogo), svg.toStdString());

    page.clearLogoButton()->click();
    EXPECT_EQ(get("/logo"), server::kNotFoundResponse);
    EXPECT_NE(get("/listen").find("<h1>🎧 Audio Stream</h1>"), std::string::npos);
}
