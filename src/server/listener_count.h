#pragma once

namespace lumeno::server {

// Posted on main with user info "count" (an integer, the number of distinct listening hosts)
// after every change of the listener lists and every 5 s; the controller shows it.
inline constexpr const char* kListenerCountChanged = "listenerCountChanged";

}  // namespace lumeno::server
