#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"

namespace lumeno::app {

// One entry of the system's interface address list.
struct InterfaceAddress {
    std::string name;
    bool ipv4 = false;
    std::string address;  // numeric host form; empty when the conversion failed
    bool up = true;
    bool loopback = false;
};

// The system's interface addresses in its own order, IPv4 and IPv6 entries only. `failed` is set
// when the list cannot be had at all.
std::vector<InterfaceAddress> systemInterfaceAddresses(bool& failed);

// The IPv4 addresses listeners can reach, best first: interfaces that are up, not loopback and
// not virtual (containers, bridges, tunnels), in the system's order. Logs every IPv4 interface
// it looks at and the address of each accepted one.
std::vector<std::string> listenerAddressCandidates(const std::vector<InterfaceAddress>& interfaces,
                                                   core::Logger& log);

// ["a", "b"], or [] when empty.
std::string formatCandidateList(const std::vector<std::string>& candidates);

// The address the server is bound to when --bind names one IPv4 address rather than all of them.
std::optional<std::string> boundAddress(const std::string& bindAddress);

// "http://<address>:<port>/listen"
std::string listenerURL(const std::string& address, std::uint16_t port);
// "Access at: <address>:<port>/listen"
std::string listenerAddressLabel(const std::string& address, std::uint16_t port);

}  // namespace lumeno::app
