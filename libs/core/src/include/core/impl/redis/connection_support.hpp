#pragma once

#include <core/impl/broken_pipes.hpp>
#include <core/small_object_pool.hpp>

#include <cstddef>
#include <string>
#include <vector>

// What the blocking and the asynchronous connection share.
namespace qvd::libs::core::redis {

// A command's words as hiredis takes them: a pointer to each and its length in bytes. Every command
// has its own pair, so their memory comes from the pool.
using argument_pointers = std::vector<const char*, small_object_pool::allocator<const char*>>;
using argument_lengths = std::vector<size_t, small_object_pool::allocator<size_t>>;

// A command needs one length per argument and at least the command word: an empty command gets no
// reply from the server, which would shift every later reply onto the wrong command.
void check_arguments(const argument_pointers& _argv, const argument_lengths& _argv_len);

// Whether the command makes the server answer it with a stream of replies (a subscription or
// MONITOR): hiredis then calls the command's callback once per message, while an asynchronous
// command delivers one reply and releases its callback with it.
bool has_many_replies(const argument_pointers& _argv, const argument_lengths& _argv_len);

// The command word, for failure texts.
std::string first_argument(const argument_pointers& _argv, const argument_lengths& _argv_len);

} // namespace qvd::libs::core::redis
