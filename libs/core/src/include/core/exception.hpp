#pragma once

#include <core/source_location.hpp>

#include <exception>
#include <ostream>
#include <string>

namespace qvd::libs::core {

// Base of the system's own failures: carries the location of the throw.
class located_exception : public std::exception {
public:
    explicit located_exception(source_location _source_location);
    ~located_exception() override;

    // The description, built once at construction so that the pointer stays valid.
    const char* what() const noexcept override;
    // Writes short file, ":" and line.
    virtual std::ostream& describe(std::ostream& _stream) const;

    source_location get_source_location() const { return m_source_location; }

protected:
    // Rebuilds the text of what(); a class that overrides describe calls it in its constructor.
    void refresh_what();

private:
    source_location m_source_location;
    std::string m_what;
};

// A failure of the system with a message.
class exception : public located_exception {
public:
    exception(std::string _message, source_location _source_location);
    ~exception() override;

    // Base text, a blank and the message.
    std::ostream& describe(std::ostream& _stream) const override;

    const std::string& get_string_error() const { return m_str_error; }

private:
    std::string m_str_error;
};

// A failed internal check: "check failed: " and the condition.
class check_failed_exception : public exception {
public:
    check_failed_exception(std::string _condition, source_location _source_location);
    ~check_failed_exception() override;
};

// The describe text of the exception.
std::string exception_to_string(const located_exception& _exception);

// Inside a catch handler: the text of the exception in flight.
std::string exception_to_string();

} // namespace qvd::libs::core

// Throws qvd::libs::core::exception with the message and the current location.
#define QVD_THROW(message) throw ::qvd::libs::core::exception((message), QVD_SOURCE_LOCATION)

// Throws qvd::libs::core::check_failed_exception when the condition is false.
#define QVD_CHECK(condition)                                                                                           \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            throw ::qvd::libs::core::check_failed_exception(#condition, QVD_SOURCE_LOCATION);                          \
    } while (false)
