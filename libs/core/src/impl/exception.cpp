#include <core/exception.hpp>

#include <sstream>

namespace qvd::libs::core {

located_exception::located_exception(source_location _source_location) : m_source_location(_source_location) {
    refresh_what();
}

located_exception::~located_exception() = default;

const char* located_exception::what() const noexcept { return m_what.c_str(); }

std::ostream& located_exception::describe(std::ostream& _stream) const {
    return _stream << m_source_location.short_file() << ':' << m_source_location.line();
}

void located_exception::refresh_what() {
    std::ostringstream text;
    describe(text);
    m_what = text.str();
}

exception::exception(std::string _message, source_location _source_location)
    : located_exception(_source_location), m_str_error(std::move(_message)) {
    refresh_what();
}

exception::~exception() = default;

std::ostream& exception::describe(std::ostream& _stream) const {
    return located_exception::describe(_stream) << ' ' << m_str_error;
}

check_failed_exception::check_failed_exception(std::string _condition, source_location _source_location)
    : exception("check failed: " + _condition, _source_location) {}

check_failed_exception::~check_failed_exception() = default;

std::string exception_to_string(const located_exception& _exception) {
    std::ostringstream text;
    _exception.describe(text);
    return text.str();
}

std::string exception_to_string() {
    try {
        throw;
    } catch (const located_exception& e) {
        return exception_to_string(e);
    } catch (const std::exception& e) {
        return std::string("std::exception::what(): ") + e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

} // namespace qvd::libs::core
