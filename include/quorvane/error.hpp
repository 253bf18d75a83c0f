// The one error type of the library.
//
// Every fallible operation of the core returns `Result<T>`: its value, or
// exactly one `Error`. Nothing in the core throws for an input it rejects;
// running out of memory is not an `Error` (std::bad_alloc propagates and the
// caller's boundary decides what to do with it).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace quorvane {

// The eight kinds, in their fixed order. The numeric values are stable.
enum class ErrorKind : std::uint8_t {
  NotFound = 0,
  CorruptedWrapper = 1,
  MultipleWrappers = 2,
  PayloadTooLarge = 3,  // carries the payload length
  PaddingGap = 4,       // carries the gap in bytes
  ExclusionMalformed = 5,
  HashMismatch = 6,
  UnsupportedAlgorithm = 7,  // carries the caller's algorithm name
};

class [[nodiscard]] Error {
 public:
  static Error not_found() { return Error(ErrorKind::NotFound); }
  static Error corrupted_wrapper() { return Error(ErrorKind::CorruptedWrapper); }
  static Error multiple_wrappers() { return Error(ErrorKind::MultipleWrappers); }
  static Error payload_too_large(std::uint64_t length) {
    return Error(ErrorKind::PayloadTooLarge, length);
  }
  static Error padding_gap(std::uint64_t gap) { return Error(ErrorKind::PaddingGap, gap); }
  static Error exclusion_malformed() { return Error(ErrorKind::ExclusionMalformed); }
  static Error hash_mismatch() { return Error(ErrorKind::HashMismatch); }
  static Error unsupported_algorithm(std::string_view name) {
    return Error(ErrorKind::UnsupportedAlgorithm, 0, std::string(name));
  }

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;
  // An error is moved, never shared.
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;

  ErrorKind kind() const noexcept { return kind_; }
  // The carried size of PayloadTooLarge and PaddingGap; 0 for other kinds.
  std::uint64_t size() const noexcept { return size_; }
  // The carried name of UnsupportedAlgorithm; empty for other kinds.
  const std::string& name() const noexcept { return name_; }

  // The display text: the kind's message with the carried value in place of
  // "{}". No kind name, no status code, no trailing punctuation.
  std::string message() const;

  // The C2PA validation status code, or nullopt for NotFound,
  // PayloadTooLarge and PaddingGap.
  std::optional<std::string_view> status_code() const noexcept;

  // The text that reports the error: with_status_code(message(),
  // status_code()), as the Python module raises it and the command-line
  // tool prints it.
  std::string text() const;

  friend bool operator==(const Error& a, const Error& b) {
    return a.kind_ == b.kind_ && a.size_ == b.size_ && a.name_ == b.name_;
  }

 private:
  explicit Error(ErrorKind kind, std::uint64_t size = 0, std::string name = {})
      : kind_(kind), size_(size), name_(std::move(name)) {}

  ErrorKind kind_;
  std::uint64_t size_;
  std::string name_;
};

// "<message> [<code>]": the message, a blank and the status code in square
// brackets; the message alone when there is no code. The form of
// Error::text(), for a front end that reports a failure of its own in the
// same words.
std::string with_status_code(std::string_view message, std::optional<std::string_view> code);

// The kind's name as written in the code ("NotFound", ...), for diagnostics
// and test output; never part of a message.
std::string_view kind_name(ErrorKind kind) noexcept;

// The value of a fallible operation, or its one Error. A std::expected in
// every respect but one: dropping it is a compiler warning (an error under
// -Werror=unused-result), so no failure can be ignored by accident.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using Base = std::expected<T, Error>;
  using Base::Base;
  Result(Base&& base) noexcept(std::is_nothrow_move_constructible_v<Base>)  // NOLINT: implicit
      : Base(std::move(base)) {}
};

// The success value of an operation that returns nothing.
using Status = Result<void>;

}  // namespace quorvane
