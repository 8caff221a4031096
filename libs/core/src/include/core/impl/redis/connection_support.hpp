#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What the blocking and the asynchronous connection share.
namespace qvd::libs::core::redis {

// hiredis writes with write(2): a server that went away must not end the process with SIGPIPE.
// Ignores SIGPIPE unless the process has chosen a disposition of its own.
void ignore_broken_pipes();

// A command needs one length per argument and at least the command word: an empty command gets no
// reply from the server, which would shift every later reply onto the wrong command.
void check_arguments(const std::vector<const char*>& _argv, const std::vector<size_t>& _argv_len);

// The command word, for failure texts.
std::string first_argument(const std::vector<const char*>& _argv, const std::vector<size_t>& _argv_len);

} // namespace qvd::libs::core::redis
