// Value-or-message result: how the core reports errors a caller can cause, without throwing.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace brantoveil {

/// The error half of a result: a user-facing message, raised as ValueError at the boundary.
struct Error {
  std::string message;
};

/// Either a value or an error message; the core never throws.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }

  const std::string& error() const {
    assert(!ok());
    return std::get<1>(state_).message;
  }
  Error take_error() && {
    assert(!ok());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, Error> state_;
};

/// Success without a value, or an error message.
using Status = Result<std::monostate>;

inline Status success() { return Status(std::monostate{}); }

}  // namespace brantoveil
