#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/child_process.h"

namespace lumeno::testing {

// The port a lumeno started with "--port 0" listens on, from its "Server ready on port N" line;
// 0 when no such line comes within 10 s.
inline std::uint16_t readyPort(ChildProcess& app) {
    constexpr std::string_view kReady = "Server ready on port ";
    if (!app.waitForPrefix(std::string(kReady), std::chrono::seconds(10))) return 0;
    for (const auto& line : app.stdoutLines())
        if (line.starts_with(kReady)) return static_cast<std::uint16_t>(std::stoi(line.substr(kReady.size())));
    return 0;
}

}  // namespace lumeno::testing
