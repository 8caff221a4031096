#pragma once

#include <gtest/gtest.h>

#include <string>

// The what() text of the Exception that _function throws; a failure when it throws nothing.
template <typename Exception, typename Function>
std::string thrown_text(Function _function) {
    try {
        _function();
    } catch (const Exception& caught) {
        return caught.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}
