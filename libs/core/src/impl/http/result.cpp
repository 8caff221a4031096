#include <core/http/result.hpp>

#include <utility>

namespace qvd::libs::core::http {

result::result(std::string text, int code) : m_code(code) {
    if (code >= 200 && code <= 299)
        m_data = std::move(text);
    else
        m_error = std::move(text);
}

result::result(std::string error) : m_error(std::move(error)) {}

bool result::ok() const { return m_data.has_value(); }

boost::optional<int> result::status_code() const { return m_code; }

boost::optional<const std::string&> result::data() const& {
    if (!m_data)
        return boost::none;
    return *m_data;
}

boost::optional<std::string> result::data() && { return std::move(m_data); }

boost::optional<std::string> result::error() const { return m_error; }

} // namespace qvd::libs::core::http
