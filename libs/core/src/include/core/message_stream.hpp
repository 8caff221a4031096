#pragma once

#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>

namespace qvd::libs::core {

// Topic subscriptions over a publisher's stream of frames.
class message_stream {
public:
    using ptr = std::unique_ptr<message_stream>;
    using callback = std::function<void(boost::string_view)>;

    // A registration; destroying it ends the callback's calls.
    class subscription {
    public:
        using ptr = std::unique_ptr<subscription>;
        virtual ~subscription() = default;
    };

    virtual ~message_stream() = default;

    // Calls _callback with every frame of the first subscribed topic (in byte order) that the frame begins with.
    virtual subscription::ptr subscribe(boost::string_view _topic, callback _callback) = 0;
};

} // namespace qvd::libs::core
