#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/utility/string_view.hpp>

#include <zmq.hpp>

#include <cstddef>
#include <string>

namespace qvd::libs::core::zmq {

// One ZeroMQ message frame; move-only, the bytes are owned by ZeroMQ.
class message {
public:
    message() = default;
    // A frame of _size uninitialised bytes.
    explicit message(std::size_t _size);
    // A frame holding a copy of the bytes.
    explicit message(boost::string_view _bytes);
    explicit message(boost::asio::const_buffer _bytes);

    const void* data() const { return m_message.data(); }
    void* data() { return m_message.data(); }
    std::size_t size() const { return m_message.size(); }
    bool empty() const { return m_message.size() == 0; }
    boost::asio::const_buffer buffer() const { return boost::asio::buffer(data(), size()); }
    boost::asio::mutable_buffer buffer() { return boost::asio::buffer(data(), size()); }
    // The bytes as text, valid while the frame lives.
    boost::string_view view() const { return {static_cast<const char*>(data()), size()}; }
    std::string string() const { return {static_cast<const char*>(data()), size()}; }
    // Whether further frames of the same message follow this received one.
    bool more() const { return m_message.more(); }

    ::zmq::message_t& native() { return m_message; }

private:
    ::zmq::message_t m_message;
};

} // namespace qvd::libs::core::zmq
