#include <core/redis/reply.hpp>

#include <hiredis/hiredis.h>

#include <charconv>
#include <limits>
#include <utility>

namespace qvd::libs::core::redis {

namespace {

const redisReply& checked(const redisReply* _reply) {
    if (_reply == nullptr)
        QVD_THROW("Reply is missing");
    return *_reply;
}

bool is_string_type(reply_type _type) {
    return _type == reply_type::STRING || _type == reply_type::STATUS || _type == reply_type::ERROR;
}

} // namespace

reply_element::reply_element(const redisReply& _reply) : m_reply(_reply) {}

reply_type reply_element::get_type() const { return static_cast<reply_type>(m_reply.get().type); }

boost::string_view reply_element::as_string_view() const {
    const boost::optional<boost::string_view> text = try_string_view();
    if (!text)
        QVD_THROW("Reply is not string, actual type: " + redis::to_string(get_type()).to_string());
    return *text;
}

std::string reply_element::to_string() const { return as_string_view().to_string(); }

boost::optional<boost::string_view> reply_element::try_string_view() const {
    if (!is_string_type(get_type()))
        return boost::none;
    const redisReply& r = m_reply.get();
    if (r.str == nullptr)
        return boost::string_view();
    return boost::string_view(r.str, r.len);
}

long long reply_element::to_long_long() const {
    if (get_type() == reply_type::INTEGER)
        return m_reply.get().integer;
    if (get_type() == reply_type::ERROR || !is_string_type(get_type()))
        QVD_THROW("Reply is not integer, actual type: " + redis::to_string(get_type()).to_string());
    const boost::string_view text = as_string_view();
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        QVD_THROW("Reply is not integer: " + text.to_string());
    return value;
}

int reply_element::to_int() const {
    const long long value = to_long_long();
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        QVD_THROW("Reply does not fit int: " + std::to_string(value));
    return static_cast<int>(value);
}

reply_array reply_element::as_array() const {
    if (get_type() != reply_type::ARRAY)
        QVD_THROW("Reply is not array, actual type: " + redis::to_string(get_type()).to_string());
    const redisReply& r = m_reply.get();
    return reply_array(r.element, r.elements);
}

reply_array::reply_array(redisReply** data, size_t size) : m_data(data), m_size(size) {}

reply_element reply_array::operator[](size_t index) const {
    if (index >= m_size)
        QVD_THROW("Index out of range");
    return reply_element(checked(m_data[index]));
}

size_t reply_array::size() const { return m_size; }

iteration_result reply_array::for_each_element(const callback& _callback) const {
    for (size_t i = 0; i < m_size; ++i)
        if (!_callback((*this)[i]))
            return iteration_result::interrupted;
    return iteration_result::finished;
}

reply::reply(redisReply* _reply) : reply_element(checked(_reply)), m_reply(_reply) {}

void reply::reply_deleter::operator()(redisReply* _reply) const { freeReplyObject(_reply); }

} // namespace qvd::libs::core::redis
