#include <core/impl/zmq/message_stream_zmq_raw.hpp>

#include <boost/asio/error.hpp>

#include <algorithm>

namespace qvd::libs::core {

message_stream_zmq_raw::message_stream_zmq_raw(boost::asio::io_context& _io_context, const component_logger& _logger,
                                               const std::string& _address)
    : m_callbacks(std::make_shared<callbacks_map>()), m_socket(_io_context, ZMQ_SUB), m_logger(_logger) {
    // It sends nothing but subscriptions: none is worth waiting for when it closes.
    m_socket.set_option(ZMQ_LINGER, 0);
    m_socket.connect(_address);
    setup_receive();
}

message_stream_zmq_raw::~message_stream_zmq_raw() {
    const boost::system::error_code error = m_socket.cancel();
    if (error)
        m_logger.log_error(error, QVD_SOURCE_LOCATION);
}

message_stream::subscription::ptr message_stream_zmq_raw::subscribe(boost::string_view _topic, callback _callback) {
    class subscription_impl : public subscription {
    public:
        explicit subscription_impl(std::shared_ptr<message_stream::callback> _callback)
            : m_callback(std::move(_callback)) {}

    private:
        // The stream holds only a weak pointer to it.
        std::shared_ptr<message_stream::callback> m_callback;
    };

    const auto [position, inserted] = m_callbacks->try_emplace(std::string(_topic));
    if (inserted) {
        try {
            m_socket.set_option(ZMQ_SUBSCRIBE, _topic.data(), _topic.size());
        } catch (...) {
            // Not left in the map unsubscribed, so that a later subscribe tries again.
            m_callbacks->erase(position);
            throw;
        }
    }
    auto owned = std::make_shared<message_stream::callback>(std::move(_callback));
    position->second.push_back(owned);
    return std::make_unique<subscription_impl>(std::move(owned));
}

void message_stream_zmq_raw::setup_receive() {
    const component_logger* const logger = &m_logger;
    const std::weak_ptr<callbacks_map> weak_callbacks = m_callbacks;
    message_stream_zmq_raw* const self = this;
    m_socket.async_receive(
        [logger, weak_callbacks, self](const boost::system::error_code& _error, zmq::message& _frame) {
            if (_error) {
                if (_error != boost::asio::error::operation_aborted)
                    logger->log_error(_error, QVD_SOURCE_LOCATION);
                return;
            }
            // Holds the map through the dispatch, even when a callback destroys the stream.
            const std::shared_ptr<callbacks_map> callbacks = weak_callbacks.lock();
            if (!callbacks)
                return;
            self->setup_receive();
            self->process_message(_frame.view());
        });
}

void message_stream_zmq_raw::process_message(boost::string_view _frame) {
    callbacks_vector* const callbacks = find_callbacks(_frame);
    if (callbacks == nullptr)
        return;
    call_callbacks(*callbacks, _frame);
    // The stream itself may be gone by now: only the map, still held by the receive, is touched.
    remove_expired_callbacks(*callbacks);
}

message_stream_zmq_raw::callbacks_vector* message_stream_zmq_raw::find_callbacks(boost::string_view _frame) {
    for (auto& [topic, callbacks] : *m_callbacks) {
        if (_frame.starts_with(topic))
            return &callbacks;
        // Every later topic sorts after this one too, so none of them can begin the frame.
        if (boost::string_view(topic) > _frame)
            break;
    }
    return nullptr;
}

void message_stream_zmq_raw::call_callbacks(const callbacks_vector& _callbacks, boost::string_view _frame) {
    // A stable copy: a callback may subscribe to this very topic; the new one gets the next frame.
    const callbacks_vector current = _callbacks;
    for (const std::weak_ptr<message_stream::callback>& weak_callback : current) {
        // Held through the call, so that a callback ending its own subscription finishes safely.
        if (const std::shared_ptr<message_stream::callback> callback = weak_callback.lock())
            (*callback)(_frame);
    }
}

void message_stream_zmq_raw::remove_expired_callbacks(callbacks_vector& _callbacks) {
    _callbacks.erase(
        std::remove_if(_callbacks.begin(), _callbacks.end(),
                       [](const std::weak_ptr<message_stream::callback>& _callback) { return _callback.expired(); }),
        _callbacks.end());
}

} // namespace qvd::libs::core
