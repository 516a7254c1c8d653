// The user's proxy settings as Windows keeps them, and a WinHTTP session opened by them.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string_view>

#include "download/proxy.h"

namespace vorn {

// The routes to `address` as this machine's user set them (proxy.h says in which order);
// detection and the script run on a thread of their own, waited for at most
// PROXY_DISCOVERY_LIMIT.
ProxyRoutes find_proxy_routes(std::string_view address);

// WinHttpOpen with the route: its one proxy and bypass list given by name, so that the session
// uses exactly what was decided (the platform's automatic modes do not read the user's settings
// everywhere, and a session is given no list of its own to fall back on: wine takes only a
// session's proxy, so one session per route is the path the tests run).
HINTERNET open_session_by(const ProxyRoute& route);

}  // namespace vorn
