#pragma once

#include <core/logger.hpp>
#include <core/message_stream.hpp>
#include <core/zmq/asio_socket.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace qvd::libs::core {

// A ZeroMQ SUB socket handing each frame over whole to the callbacks of its topic.
class message_stream_zmq_raw : public message_stream {
public:
    // Connects to the publisher at _address; throws boost::system::system_error.
    message_stream_zmq_raw(boost::asio::io_context& _io_context, const component_logger& _logger,
                           const std::string& _address);
    ~message_stream_zmq_raw() override;

    subscription::ptr subscribe(boost::string_view _topic, callback _callback) override;

private:
    // In the order of subscription; the subscriptions own the callbacks.
    using callbacks_vector = std::vector<std::weak_ptr<message_stream::callback>>;
    using callbacks_map = std::map<std::string, callbacks_vector>;

    void setup_receive();
    void process_message(boost::string_view _frame);
    callbacks_vector* find_callbacks(boost::string_view _frame);
    void call_callbacks(const callbacks_vector& _callbacks, boost::string_view _frame);
    static void remove_expired_callbacks(callbacks_vector& _callbacks);

    std::shared_ptr<callbacks_map> m_callbacks;
    zmq::asio_socket m_socket;
    const component_logger& m_logger;
};

} // namespace qvd::libs::core
