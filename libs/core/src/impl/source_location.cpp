#include <core/source_location.hpp>

#include <core/constants.hpp>

#include <algorithm>

namespace qvd::libs::core {

source_location::source_location() noexcept : m_line(0), m_file("unknown file"), m_function("unknown function") {}

source_location::source_location(long _line, boost::string_view _file, boost::string_view _function) noexcept
    : m_line(_line), m_file(_file), m_function(_function) {}

boost::string_view source_location::short_file() const noexcept { return remove_directory_prefix(m_file); }

boost::string_view source_location::short_function() const noexcept {
    const boost::string_view text = m_function;
    if (text.empty())
        return text;
    const auto paren = text.find('(');
    if (paren == boost::string_view::npos)
        return text;
    static constexpr boost::string_view prefix("qvd::");
    if (text.size() < prefix.size())
        return text;
    // Only a "qvd::" in front of the parameter list counts.
    const auto start = std::min(paren, text.size() - prefix.size());
    const auto match = text.rfind(prefix, start);
    if (match == boost::string_view::npos)
        return text;
    return text.substr(match, paren - match);
}

boost::string_view source_location::remove_directory_prefix(boost::string_view _path) noexcept {
    const auto length = constants::source_directory.size();
    if (_path.size() <= length)
        return _path.substr(_path.size());
    return _path.substr(length);
}

} // namespace qvd::libs::core
