#include <core/impl/zmq/message_stream_zmq.hpp>

#include <cctype>
#include <string>

namespace qvd::libs::core {

message_stream_zmq::message_stream_zmq(boost::asio::io_context& _io_context, const component_logger& _logger,
                                       const std::string& _address)
    : m_stream_zmq_raw(_io_context, _logger, _address) {}

message_stream::subscription::ptr message_stream_zmq::subscribe(boost::string_view _topic, callback _callback) {
    std::string topic(_topic);
    if (!topic.empty() && std::isalpha(static_cast<unsigned char>(topic.front())) != 0)
        topic.insert(0, 1, '#');
    return m_stream_zmq_raw.subscribe(topic, [callback = std::move(_callback)](boost::string_view _frame) {
        const std::size_t document = _frame.find('{');
        if (document == boost::string_view::npos)
            return;
        callback(_frame.substr(document));
    });
}

} // namespace qvd::libs::core
