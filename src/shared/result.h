// Value-or-message result: how the core reports errors a caller can cause, without throwing.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brantoveil {

/// What went wrong, for callers that act on it rather than show the message.
enum class ErrorKind : std::uint8_t {
  general,   // anything not tied to one tree: limits, arguments
  syntax,    // a tree's text is not Newick
  leaf_set,  // a tree's taxa differ from the first tree's
  tree,      // a tree is unusable otherwise: an unnamed or repeated leaf, too large
  corrupt,   // bytes that do not hold an encoded sample
};

/// The error half of a result: a user-facing message, raised as ValueError at the boundary, and
/// where it happened when that is known. `Error{message}` leaves the place unknown.
struct Error {
  static constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

  std::string message;
  ErrorKind kind = ErrorKind::general;
  /// 0-based position of the tree in the call's input, or kUnknown.
  std::uint64_t tree = kUnknown;
  /// Byte offset in that tree's text where the fault was found, or kUnknown when the fault has
  /// no place in the text (a leaf set that differs, a tree too large).
  std::uint64_t offset = kUnknown;
  /// Where the message's reason starts: the words before it ("Tree 3 ") only place the error.
  std::size_t reason_at = 0;

  /// The message without the words that place it.
  std::string_view reason() const { return std::string_view(message).substr(reason_at); }
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
  /// The whole error value: message, kind and place.
  const Error& failure() const {
    assert(!ok());
    return std::get<1>(state_);
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
