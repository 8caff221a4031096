#pragma once

#include <core/impl/zmq/message_stream_zmq_raw.hpp>

namespace qvd::libs::core {

// A stream of frames that carry a topic and then a JSON document: topics that begin with a
// letter are published with "#" in front, and callbacks receive the text from the first "{" on.
class message_stream_zmq : public message_stream {
public:
    // Connects to the publisher at _address; throws boost::system::system_error.
    message_stream_zmq(boost::asio::io_context& _io_context, const component_logger& _logger,
                       const std::string& _address);

    subscription::ptr subscribe(boost::string_view _topic, callback _callback) override;

private:
    message_stream_zmq_raw m_stream_zmq_raw;
};

} // namespace qvd::libs::core
