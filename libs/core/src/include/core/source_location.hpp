#pragma once

#include <boost/utility/string_view.hpp>

namespace qvd::libs::core {

// File, function and line of a throw or a log call; the texts have static storage duration.
class source_location {
public:
    // The location of a caller that has none of its own.
    source_location() noexcept;
    source_location(long _line, boost::string_view _file, boost::string_view _function) noexcept;

    // Line of the call site.
    long line() const noexcept { return m_line; }
    // Full path of the source file as compiled.
    boost::string_view file() const noexcept { return m_file; }
    // Full signature of the enclosing function.
    boost::string_view function() const noexcept { return m_function; }
    // The file relative to the source tree, beginning with "/".
    boost::string_view short_file() const noexcept;
    // The qualified name of the enclosing qvd function, or the whole signature.
    boost::string_view short_function() const noexcept;

    // Drops as many leading characters as the source directory has (not compared).
    static boost::string_view remove_directory_prefix(boost::string_view _path) noexcept;

private:
    long m_line;
    boost::string_view m_file;
    boost::string_view m_function;
};

} // namespace qvd::libs::core

// The location of the code that spells it.
#define QVD_SOURCE_LOCATION ::qvd::libs::core::source_location(__LINE__, __FILE__, __PRETTY_FUNCTION__)
