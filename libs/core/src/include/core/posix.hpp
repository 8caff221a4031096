#pragma once

#include <ctime>
#include <string>

namespace qvd::libs::core {

// Sleeps the full time even when signals interrupt the sleep.
void sleep_seconds(std::time_t _seconds);

// Appends everything left to read from _descriptor to _text, reading again after EINTR; false
// with errno set when a read fails.
bool read_all(int _descriptor, std::string& _text);

} // namespace qvd::libs::core
