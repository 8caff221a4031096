#pragma once

#include <string>
#include <vector>

// What the private test servers of every kind share: settings from the environment, a scratch
// directory, a start through the project's script and an end by process id.
namespace qvd::test_support {

// The environment variable _name, or _fallback when it is unset or empty.
std::string env_or(const char* _name, const std::string& _fallback);

// A new empty directory /tmp/_prefix-XXXXXX; returns its path.
std::string make_scratch_directory(const std::string& _prefix);

// Removes _directory with everything in it; never throws.
void remove_directory(const std::string& _directory);

// Runs "_script start _directory _port _options..." (_script relative to the source tree) and
// returns the process id the server wrote to _directory + "/" + _pid_file; throws naming
// _server when the script fails or no id was written.
int start_server_script(const std::string& _server, const std::string& _script, const std::string& _directory,
                        unsigned _port, const std::vector<std::string>& _options, const std::string& _pid_file);

// True once the process has ended: no longer there, or a zombie that nobody reaps (a server
// started by a script is reparented and not our child).
bool process_gone(int _pid);

// Waits up to 30 s for the process to end, reaping it when it is our child.
void wait_for_end(int _pid);

} // namespace qvd::test_support
