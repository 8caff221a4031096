#pragma once

#include <core/redis/reply_type.hpp>
#include <core/stl.hpp>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

struct redisReply;

namespace qvd::libs::core::redis {

class reply_array;

// A view of one hiredis reply; owns nothing.
class reply_element {
public:
    explicit reply_element(const redisReply& _reply);
    virtual ~reply_element() = default;

    reply_type get_type() const;
    // The bytes of a string, status or error reply; any other type throws.
    boost::string_view as_string_view() const;
    // A copy of as_string_view, with the same failure.
    std::string to_string() const;
    // The bytes of a string, status or error reply; none for any other type.
    boost::optional<boost::string_view> try_string_view() const;
    // An integer reply, or a string or status reply that holds exactly a decimal number.
    long long to_long_long() const;
    // to_long_long, which must also fit an int.
    int to_int() const;
    // The elements of an array reply; any other type throws.
    reply_array as_array() const;

private:
    std::reference_wrapper<const redisReply> m_reply;
};

// A view of the elements of an array reply.
class reply_array {
public:
    // Called with each element; false stops the walk.
    using callback = std::function<bool(const reply_element&)>;

    reply_array(redisReply** data, size_t size);

    // The element at index, which must be below size().
    reply_element operator[](size_t index) const;
    size_t size() const;
    // Calls _callback on the elements in order until one returns false.
    iteration_result for_each_element(const callback& _callback) const;

private:
    redisReply** m_data;
    size_t m_size;
};

// A reply that owns its hiredis reply; moved, never copied.
class reply : public reply_element {
public:
    // Takes ownership of _reply, which must not be null.
    explicit reply(redisReply* _reply);
    // Inline: a reply is moved several times on its way to the handle's callback.
    ~reply() override = default;
    reply(reply&&) noexcept = default;
    reply& operator=(reply&&) noexcept = default;
    reply(const reply&) = delete;
    reply& operator=(const reply&) = delete;

private:
    struct reply_deleter {
        void operator()(redisReply* _reply) const;
    };

    std::unique_ptr<redisReply, reply_deleter> m_reply;
};

} // namespace qvd::libs::core::redis
