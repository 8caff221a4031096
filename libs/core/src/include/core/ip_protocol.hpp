#pragma once

namespace qvd::libs::core {

// Which any-address a wildcard bind takes: the IPv4 one or the IPv6 one.
enum class ip_protocol { v4 = 0, v6 = 1 };

} // namespace qvd::libs::core
