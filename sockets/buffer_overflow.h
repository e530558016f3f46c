// Raised when a block buffer cannot take more bytes.
#ifndef VEMNET_BUFFER_OVERFLOW_H
#define VEMNET_BUFFER_OVERFLOW_H

#include <stdexcept>
#include <string>

class buffer_overflow : public std::runtime_error {
public:
    explicit buffer_overflow(const std::string& text) : std::runtime_error(text) {}
};

class buffer_overflow_all : public buffer_overflow {
public:
    explicit buffer_overflow_all(const std::string& text) : buffer_overflow(text) {}
};

#endif
