#pragma once

namespace qvd::libs::core {

// Writes to a peer that went away must fail with EPIPE, not end the process: hiredis writes with
// write(2), and libcurl under CURLOPT_NOSIGNAL leaves SIGPIPE to its caller (TLS writes raise it).
// Ignores SIGPIPE unless the process has chosen a disposition of its own.
void ignore_broken_pipes();

} // namespace qvd::libs::core
