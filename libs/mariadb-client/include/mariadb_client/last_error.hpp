#pragma once

#include <mariadb_client/types.hpp>

#include <string>

namespace mariadb {

// The last failure that its owner reported; a later success does not clear it.
class last_error {
public:
    // Number of the last recorded failure, 0 when none.
    u32 error_no() const { return m_last_error_no; }
    // Text of the last recorded failure, empty when none.
    const std::string& error() const { return m_last_error; }

protected:
    // Records the failure, writes the "MariaDB Error(" report to standard error and throws
    // exception::connection with the same number and text.
    [[noreturn]] void fail(u32 _error_no, const std::string& _error, const char* _function, const char* _file,
                           unsigned _line);

    u32 m_last_error_no = 0;
    std::string m_last_error;
};

// Writes one error report to standard error (no recording, no throw).
void report_error(u32 _error_no, const std::string& _error, const char* _function, const char* _file, unsigned _line);

} // namespace mariadb
