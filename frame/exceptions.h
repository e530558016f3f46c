// Exceptions that carry an error code beside their message. The text is
// composed once, on the first what(): "recv - 10035: <system text>".
#ifndef VEMNET_EXCEPTIONS_H
#define VEMNET_EXCEPTIONS_H

#include <exception>
#include <string>

class exception_errno : public std::exception {
public:
    exception_errno(int code, const std::string& text) : code_(code), text_(text), composed_(false) {}
    ~exception_errno() override {}
    const char* what() const noexcept override;
    int code() const { return code_; }

private:
    int code_;
    mutable std::string text_;
    mutable bool composed_;
};

class socket_error : public exception_errno {
public:
    // The code is the thread's last socket error at this moment.
    explicit socket_error(const std::string& text);
    socket_error(int code, const std::string& text) : exception_errno(code, text) {}
};

// Throws socket_error "create socket" with the last socket error.
[[noreturn]] void ThrowCreateSocketError();

#endif
