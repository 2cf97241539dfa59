#include "app/listener_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <string_view>

namespace lumeno::app {

namespace {

// Names of interfaces that only reach containers, virtual machines or tunnels, never the room's
// network the listeners' phones are on.
constexpr std::array<std::string_view, 7> kVirtualPrefixes = {"docker", "virbr", "veth", "br-", "tun", "tap", "wg"};

bool isVirtual(std::string_view name) {
    if (name == "lo") return true;
    for (auto prefix : kVirtualPrefixes) {
        if (name.starts_with(prefix)) return true;
    }
    return false;
}

std::string numericHost(const sockaddr* address) {
    socklen_t length = address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    char host[NI_MAXHOST] = {};
    // A failed conversion leaves the text empty, which is then never used as an address.
    if (::getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
    return host;
}

}  // namespace

std::vector<InterfaceAddress> systemInterfaceAddresses(bool& failed) {
    failed = false;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        failed = true;
        return {};
    }
    std::vector<InterfaceAddress> result;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr) continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        result.push_back({.name = entry->ifa_name ? entry->ifa_name : "",
                          .ipv4 = family == AF_INET,
                          .address = numericHost(entry->ifa_addr),
                          .up = (entry->ifa_flags & IFF_UP) != 0,
                          .loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0});
    }
    ::freeifaddrs(list);
    return result;
}

std::vector<std::string> listenerAddressCandidates(const std::vector<InterfaceAddress>& interfaces,
                                                   core::Logger& log) {
    std::vector<std::string> candidates;
    for (const auto& entry : interfaces) {
        if (!entry.ipv4) continue;
        log.print("🌐 Found interface: ", entry.name);
        if (!entry.up || entry.loopback || isVirtual(entry.name)) continue;
        log.print("🌐 Interface ", entry.name, " has address: ", entry.address);
        if (entry.address.empty() || entry.address == "0.0.0.0") continue;
        candidates.push_back(entry.address);
    }
    return candidates;
}

std::string formatCandidateList(const std::vector<std::string>& candidates) {
    std::string text = "[";
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0) text += ", ";
        text += "\"" + candidates[i] + "\"";
    }
    return text + "]";
}

std::optional<std::string> boundAddress(const std::string& bindAddress) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, bindAddress.c_str(), &parsed) != 1) return std::nullopt;
    if (parsed.s_addr == htonl(INADDR_ANY)) return std::nullopt;
    return bindAddress;
}

std::string listenerURL(const std::string& address, std::uint16_t port) {
    return "http://" + address + ":" + std::to_string(port) + "/listen";
}

std::string listenerAddressLabel(const std::string& address, std::uint16_t port) {
    return "Access at: " + address + ":" + std::to_string(port) + "/listen";
}

}  // namespace lumeno::app
