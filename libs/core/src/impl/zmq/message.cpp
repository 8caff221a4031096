#include <core/zmq/message.hpp>

namespace qvd::libs::core::zmq {

message::message(std::size_t _size) : m_message(_size) {}

message::message(boost::string_view _bytes) : m_message(_bytes.data(), _bytes.size()) {}

message::message(boost::asio::const_buffer _bytes) : m_message(_bytes.data(), _bytes.size()) {}

} // namespace qvd::libs::core::zmq
