#include "app/listener_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/capture_logger.h"

namespace lumeno::app {
namespace {

using Lines = std::vector<std::string>;

// Entries as the system lists them: {name, IPv4, address, up, loopback}.
TEST(ListenerAddressTest, CandidatesAreReachableIPv4AddressesInSystemOrder) {
    struct Case {
        const char* name;
        std::vector<InterfaceAddress> interfaces;
        Lines candidates;
    };
    const std::vector<Case> cases = {
        {"loopback first, then en0 and en1",
         {{"lo", true, "127.0.0.1", true, true}, {"en0", true, "192.168.1.20"}, {"en1", true, "10.0.0.5"}},
         {"192.168.1.20", "10.0.0.5"}},
        {"virtual interfaces are passed over",
         {{"docker0", true, "172.17.0.1"}, {"virbr0", true, "192.168.122.1"}, {"veth12ab", true, "169.254.3.3"},
          {"br-5f2c", true, "172.18.0.1"}, {"tun0", true, "10.8.0.2"}, {"tap0", true, "10.9.0.2"},
          {"wg0", true, "10.10.0.2"}, {"wlp2s0", true, "192.168.1.31"}, {"eth0", true, "192.168.1.30"}},
         {"192.168.1.31", "192.168.1.30"}},
        {"unset, unconverted, IPv6, down and loopback-flagged addresses are not used",
         {{"en0", true, "0.0.0.0"}, {"eth0", true, ""}, {"eth1", false, "2001:db8::5"},
          {"eth2", true, "192.168.1.30", false}, {"lo:1", true, "127.0.0.2", true, true}, {"wlan0", true, "10.0.0.7"}},
         {"10.0.0.7"}},
        {"no interfaces", {}, {}},
    };
    for (const auto& c : cases) {
        testing::CaptureLogger log;
        EXPECT_EQ(listenerAddressCandidates(c.interfaces, log), c.candidates) << c.name;
    }
}

TEST(ListenerAddressTest, SystemListHasTheLoopbackAndDottedIPv4Addresses) {
    bool failed = true;
    auto interfaces = systemInterfaceAddresses(failed);
    EXPECT_FALSE(failed);
    auto lo = std::find_if(interfaces.begin(), interfaces.end(),
                           [](const InterfaceAddress& i) { return i.ipv4 && i.address == "127.0.0.1"; });
    ASSERT_NE(lo, interfaces.end());
    EXPECT_TRUE(lo->loopback && lo->up);
    for (const auto& entry : interfaces) {
        in_addr parsed{};
        EXPECT_TRUE(!entry.ipv4 || inet_pton(AF_INET, entry.address.c_str(), &parsed) == 1) << entry.name;
    }
}

}  // namespace
}  // namespace lumeno::app
