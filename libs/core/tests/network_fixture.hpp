#pragma once

#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include "support/zmq_reader.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace qvd::test_support {

// A loop on a core whose log stream a reader collects; sockets made in a test body are
// destroyed before the loop, so its destruction never waits for them.
struct network_fixture : ::testing::Test {
    zmq_reader reader;
    libs::core::logger log{libs::core::constants::project_name, "main"};
    libs::core::core::ptr root = libs::core::core::create(log);
    libs::core::events_loop::ptr loop = root->create_events_loop("main");

    network_fixture() { log.connect(reader.endpoint()); }

    // Runs the loop until _done holds; false when it still does not after _limit, which only a
    // fault can take.
    bool run_until(const std::function<bool()>& _done, std::chrono::seconds _limit = std::chrono::seconds(20)) {
        boost::asio::io_context& io_context = loop->get_io_context();
        const auto deadline = std::chrono::steady_clock::now() + _limit;
        while (!_done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            if (io_context.stopped())
                io_context.restart();
            io_context.run_one_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Runs every handler that is ready now.
    void run_ready() {
        boost::asio::io_context& io_context = loop->get_io_context();
        io_context.restart();
        io_context.poll();
    }

    // Whether a logged line holds every one of the texts, within a few seconds.
    bool logged(std::initializer_list<std::string> _texts) {
        return reader
            .wait_for([&_texts](const std::string& _line) {
                for (const std::string& text : _texts)
                    if (_line.find(text) == std::string::npos)
                        return false;
                return true;
            })
            .has_value();
    }

    // How many logged lines so far hold the text.
    std::size_t count_logged(const std::string& _text) const {
        std::size_t count = 0;
        for (const std::string& line : reader.messages())
            if (line.find(_text) != std::string::npos)
                ++count;
        return count;
    }
};

} // namespace qvd::test_support
