#include "app/listener_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/capture_logger.h"

namespace lumeno::app {
namespace {

using Lines = std::vector<std::string>;

InterfaceAddress v4(std::string name, std::string address, bool up = true) {
    return {.name = std::move(name), .ipv4 = true, .address = std::move(address), .up = up};
}
InterfaceAddress v6(std::string name, std::string address) {
    return {.name = std::move(name), .ipv4 = false, .address = std::move(address)};
}
InterfaceAddress loopback(std::string name, std::string address) {
    auto entry = v4(std::move(name), std::move(address));
    entry.loopback = true;
    return entry;
}

std::string found(const std::string& name) { return "🌐 Found interface: " + name; }
std::string has(const std::string& name, const std::string& address) {
    return "🌐 Interface " + name + " has address: " + address;
}

TEST(ListenerAddressTest, CandidatesAreReachableIPv4AddressesInSystemOrder) {
    struct Case {
        const char* name;
        std::vector<InterfaceAddress> interfaces;
        Lines candidates;
        Lines log;
    };
    const std::vector<Case> cases = {
        {"loopback first, then en0 and en1",
         {loopback("lo", "127.0.0.1"), v4("en0", "192.168.1.20"), v4("en1", "10.0.0.5")},
         {"192.168.1.20", "10.0.0.5"},
         {found("lo"), found("en0"), has("en0", "192.168.1.20"), found("en1"), has("en1", "10.0.0.5")}},
        {"wired and wireless keep the system's order",
         {v4("wlp2s0", "192.168.1.31"), v4("eth0", "192.168.1.30")},
         {"192.168.1.31", "192.168.1.30"},
         {found("wlp2s0"), has("wlp2s0", "192.168.1.31"), found("eth0"), has("eth0", "192.168.1.30")}},
        {"virtual interfaces are passed over",
         {v4("docker0", "172.17.0.1"), v4("virbr0", "192.168.122.1"), v4("veth12ab", "169.254.3.3"),
          v4("br-5f2c", "172.18.0.1"), v4("tun0", "10.8.0.2"), v4("tap0", "10.9.0.2"), v4("wg0", "10.10.0.2"),
          v4("eth0", "192.168.1.30")},
         {"192.168.1.30"},
         {found("docker0"), found("virbr0"), found("veth12ab"), found("br-5f2c"), found("tun0"), found("tap0"),
          found("wg0"), found("eth0"), has("eth0", "192.168.1.30")}},
        {"unset and unconverted addresses are logged but not used",
         {v4("en0", "0.0.0.0"), v4("eth0", "")},
         {},
         {found("en0"), has("en0", "0.0.0.0"), found("eth0"), has("eth0", "")}},
        {"IPv6-only interface is not even looked at",
         {v6("en0", "fe80::1"), v6("eth0", "2001:db8::5")},
         {},
         {}},
        {"down and loopback-flagged interfaces are passed over",
         {v4("eth0", "192.168.1.30", false), loopback("lo:1", "127.0.0.2"), v6("wlan0", "fe80::2"),
          v4("wlan0", "10.0.0.7")},
         {"10.0.0.7"},
         {found("eth0"), found("lo:1"), found("wlan0"), has("wlan0", "10.0.0.7")}},
        {"no interfaces", {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::CaptureLogger log;
        EXPECT_EQ(listenerAddressCandidates(c.interfaces, log), c.candidates);
        EXPECT_EQ(log.lines(), c.log);
    }
}

TEST(ListenerAddressTest, CandidateListIsBracketedAndQuoted) {
    EXPECT_EQ(formatCandidateList({}), "[]");
    EXPECT_EQ(formatCandidateList({"192.168.1.20"}), "[\"192.168.1.20\"]");
    EXPECT_EQ(formatCandidateList({"192.168.1.20", "10.0.0.5"}), "[\"192.168.1.20\", \"10.0.0.5\"]");
}

TEST(ListenerAddressTest, UrlAndLabelCarryThePortTheServerListensOn) {
    EXPECT_EQ(listenerURL("192.168.1.20", 8080), "http://192.168.1.20:8080/listen");
    EXPECT_EQ(listenerURL("10.0.0.5", 49152), "http://10.0.0.5:49152/listen");
    EXPECT_EQ(listenerAddressLabel("10.0.0.5", 8081), "Access at: 10.0.0.5:8081/listen");
}

TEST(ListenerAddressTest, OnlyOneSpecificIPv4BindAddressReplacesTheInterfaces) {
    struct Case {
        std::string bind;
        std::optional<std::string> bound;
    };
    const std::vector<Case> cases = {
        {"0.0.0.0", std::nullopt},       {"", std::nullopt},         {"::", std::nullopt},
        {"::1", std::nullopt},           {"localhost", std::nullopt}, {"192.168.1", std::nullopt},
        {"192.168.1.20", "192.168.1.20"}, {"127.0.0.1", "127.0.0.1"},
    };
    for (const auto& c : cases) EXPECT_EQ(boundAddress(c.bind), c.bound) << "--bind " << c.bind;
}

TEST(ListenerAddressTest, SystemListHasTheLoopbackAndDottedIPv4Addresses) {
    bool failed = true;
    auto interfaces = systemInterfaceAddresses(failed);
    EXPECT_FALSE(failed);
    auto lo = std::find_if(interfaces.begin(), interfaces.end(),
                           [](const InterfaceAddress& i) { return i.ipv4 && i.address == "127.0.0.1"; });
    ASSERT_NE(lo, interfaces.end());
    EXPECT_TRUE(lo->loopback);
    EXPECT_TRUE(lo->up);
    for (const auto& entry : interfaces) {
        in_addr parsed{};
        if (entry.ipv4) EXPECT_EQ(inet_pton(AF_INET, entry.address.c_str(), &parsed), 1) << entry.name;
    }
}

}  // namespace
}  // namespace lumeno::app
