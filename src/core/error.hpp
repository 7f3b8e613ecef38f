// Error values shared by every computation.
//
// A computation reports a failure its caller must see (a bad value, an
// out-of-range lookup) by returning an Error inside a Result. A broken
// precondition of an internal routine (an unsorted curve reaching the
// interpolator, an index outside a vector) is not something a caller can
// recover from: it throws InternalFailure and the whole call ends.
#pragma once

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace tarnwick {

// The exception class the caller will see for a returned error.
enum class ErrorKind { value, runtime };

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> value_error(std::string message) {
    return std::unexpected<Error>({ErrorKind::value, std::move(message)});
}

inline std::unexpected<Error> runtime_error(std::string message) {
    return std::unexpected<Error>({ErrorKind::runtime, std::move(message)});
}

// A broken internal precondition. Never caught inside the hydrology.
class InternalFailure : public std::runtime_error {
 public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void internal_failure(const std::string& message) { throw InternalFailure(message); }

}  // namespace tarnwick
