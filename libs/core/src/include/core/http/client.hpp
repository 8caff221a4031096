#pragma once

#include <core/async_operation_handle.hpp>
#include <core/http/method.hpp>
#include <core/http/result.hpp>

#include <boost/utility/string_view.hpp>

#include <memory>
#include <string>

namespace qvd::libs::core::http {

// HTTP client for paths below one base address; asynchronous results arrive on the events loop
// that made the client. Cookies, DNS entries and TLS sessions are shared by all its requests.
class client {
public:
    using ptr = std::unique_ptr<client>;
    using callback = async_operation_handle<result>::callback;

    virtual ~client() = default;

    // Sends a request without a body and waits for its result.
    virtual result perform_request(method _method, boost::string_view _address) = 0;
    // Sends a request with a JSON body (none when empty) and waits for its result.
    virtual result perform_request(method _method, boost::string_view _address, boost::string_view _body) = 0;
    // Sends a request without a body on a worker thread; _callback receives the result.
    virtual async_operation_handle<result>::ptr perform_async_request(method _method, std::string _address,
                                                                      callback _callback) = 0;
    // Sends a request with a JSON body on a worker thread; _callback receives the result.
    virtual async_operation_handle<result>::ptr perform_async_request(method _method, std::string _address,
                                                                      std::string _body, callback _callback) = 0;
    // Sends a request with a JSON body on a worker thread; the result goes to the handle's callback.
    virtual async_operation_handle<result>::ptr perform_async_request(method _method, std::string _address,
                                                                      std::string _body) = 0;
};

} // namespace qvd::libs::core::http
