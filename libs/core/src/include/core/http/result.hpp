#pragma once

#include <boost/optional.hpp>

#include <string>

namespace qvd::libs::core::http {

// The outcome of one request: a status code when a response came, the body of a 2xx response
// as data, and the body of any other response or the transport failure as error.
class result {
public:
    // A response: the text is data for a status from 200 to 299, error otherwise.
    result(std::string text, int code);
    // No response: only the error text.
    explicit result(std::string error);

    // Whether a response with a status from 200 to 299 came.
    bool ok() const;
    boost::optional<int> status_code() const;
    boost::optional<const std::string&> data() const&;
    boost::optional<std::string> data() &&;
    boost::optional<std::string> error() const;

private:
    boost::optional<int> m_code;
    boost::optional<std::string> m_data;
    boost::optional<std::string> m_error;
};

} // namespace qvd::libs::core::http
