#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/last_error.hpp>

#include <iostream>

namespace mariadb {

void report_error(u32 _error_no, const std::string& _error, const char* _function, const char* _file, unsigned _line) {
    std::cerr << "MariaDB Error(" << _error_no << "): " << _error << "\nIn function: " << _function << "\nIn file "
              << _file << "\nOn line " << _line << "\n";
}

void last_error::fail(u32 _error_no, const std::string& _error, const char* _function, const char* _file,
                      unsigned _line) {
    m_last_error_no = _error_no;
    m_last_error = _error;
    report_error(_error_no, _error, _function, _file, _line);
    throw exception::connection(_error_no, _error);
}

} // namespace mariadb
