// Internal faults and error values of the numerical core.
//
// Two kinds of failure exist. An error value (`Error`, carried by `Result<T>`) is
// an expected failure with one message that callers may wrap with a context prefix.
// An internal fault (`Fault`) is a violated consistency condition: it abandons the
// whole call and the module boundary turns it into `PanicException`.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace quillet {

// Generic fault texts for faults that carry no message of their own.
inline constexpr const char* kUncheckedResultText = "called a required operation that returned an error";
inline constexpr const char* kIndexOutOfRangeText = "index out of range";
inline constexpr const char* kSizeOverflowText = "array size overflows the addressable range";
inline constexpr const char* kUnknownFaultText = "internal fault without a message";

// The one exception type of internal faults.
class Fault : public std::runtime_error {
public:
    explicit Fault(const std::string& text) : std::runtime_error(text) {}
};

[[noreturn]] inline void raise_fault(const std::string& text) { throw Fault(text); }

// Faults with `kIndexOutOfRangeText` unless `index < size`.
inline void check_index(std::size_t index, std::size_t size) {
    if (index >= size) raise_fault(kIndexOutOfRangeText);
}

struct Error {
    std::string message;
};

// Either a value or an error value.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    const Error& error() const { return std::get<1>(state_); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }

    // The value, or an internal fault "expectation: message".
    T expect(const std::string& expectation) && {
        if (!ok()) raise_fault(expectation + ": " + error().message);
        return std::move(value());
    }
    // The value, or an internal fault with the generic unchecked-result text.
    T unwrap() && { return std::move(*this).expect(kUncheckedResultText); }

private:
    std::variant<T, Error> state_;
};

// Success without a value.
struct Unit {};
using Status = Result<Unit>;
inline Status success() { return Unit{}; }

}  // namespace quillet
