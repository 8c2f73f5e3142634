// Error types of the core library.
//
// Core code never sees Python. It reports failures by throwing one of the
// types below; the binding boundary maps them to Python exceptions:
//   Error            -> RuntimeError with what() as the message
//   ValueError       -> ValueError   (argument validation in functions/constructors)
//   InternalFailure  -> the module's internal-failure exception (broken invariant)
#pragma once

#include <charconv>
#include <concepts>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <utility>

namespace halyard {

// A failure that a caller can provoke through valid use of an operation
// (unknown id, duplicate record, dimension mismatch, ...).
class Error : public std::exception {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Input validation of a module function or constructor.
class ValueError : public Error {
public:
    using Error::Error;
};

// A broken internal invariant (for example two sequences an operation asserts
// to be of equal length). Not derived from Error on purpose.
class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Equality assertion with a report naming both sides, e.g.
//   assertion `left == right` failed: Counts must match
//     left: 3
//    right: 2
template <std::integral A, std::integral B>
void assert_eq(A left, B right, std::string_view what) {
    if (std::cmp_equal(left, right)) return;
    const auto decimal = [](auto v) {
        char buf[24];  // the longest 64-bit decimal with its sign is 20 characters
        return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    };
    throw InternalFailure("assertion `left == right` failed: " + std::string(what) + "\n  left: " + decimal(left) +
                          "\n right: " + decimal(right));
}

}  // namespace halyard
