#pragma once

#include <core/logger.hpp>
#include <core/timer.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace qvd::libs::core {

class timer_impl : public timer {
public:
    timer_impl(boost::asio::io_context& _io_context, time_point _time_point, const std::string& _name,
               callback _callback, const component_logger& _logger, source_location _source_location);
    ~timer_impl() override;

    bool is_waiting() const override;
    void reset(time_point _time_point) override;
    void stop() override;

private:
    // What a pending wait may still reach after the timer is gone: nothing but through a weak pointer.
    struct shared_data {
        callback m_callback;
        bool m_waiting = false;
        // Raised by every reset and stop, so a completion of an older wait is recognised and dropped.
        std::uint64_t m_generation = 0;
    };

    boost::asio::steady_timer m_timer;
    time_point m_time_point{};
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

} // namespace qvd::libs::core
