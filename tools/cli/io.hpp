// The command-line tool's plumbing: failures and their exit statuses,
// reading inputs, UTF-8 validation, all-or-nothing output, and the text
// encodings of digests.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <quorvane/error.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::cli {

inline constexpr int kExitC2pa = 1;   // the content failed a C2PA check
inline constexpr int kExitInput = 2;  // usage, input or output error

// A failed run: its exit status, its message and, for C2PA failures, the
// status code.
struct Failure {
  int status = kExitInput;
  std::string message;
  std::optional<std::string> code;
  bool usage = false;  // a command-line mistake: the --help hint follows

  // "<message> [<code>]", or the bare message when there is no code.
  std::string display() const { return code ? message + " [" + *code + "]" : message; }
};

template <class T>
using Outcome = std::expected<T, Failure>;

std::unexpected<Failure> input_error(std::string message);
std::unexpected<Failure> usage_error(std::string message);
// A core error with its message and status code: exit 1 for the kinds that
// a C2PA check reports, exit 2 for PayloadTooLarge and PaddingGap (the input cannot
// be wrapped at all).
std::unexpected<Failure> core_error(const Error& error);

std::string decimal(std::uint64_t value);

// How an input path is named in messages: "standard input" for "-".
std::string display_name(const std::string& path);

// The whole content of the file at `path`, or of standard input for "-".
// Errors (exit 2): "<path>: <system error text>".
Outcome<std::string> read_all(const std::string& path);

// As read_all, refusing a regular file longer than the largest payload
// before reading it, with the core's PayloadTooLarge message.
Outcome<std::string> read_manifest(const std::string& path);

// As read_all, then checked to be valid UTF-8.
// Errors (exit 2): "<path>: not valid UTF-8: invalid byte sequence at byte
// offset N", N the offset of the first ill-formed sequence.
Outcome<std::string> read_text(const std::string& path);

// Writes `data` to standard output for "-", or else to `path` through a
// temporary file in the same directory that is renamed over `path` only
// once everything is written, so a failure never leaves a partial file.
Outcome<void> write_output(const std::string& path, std::string_view data);

// Standard base64 (RFC 4648, section 4) with padding.
std::string base64_encode(std::span<const std::uint8_t> bytes);
// The bytes of standard base64 text. The padding may be left out; any other
// character, a misplaced '=' or non-zero spare bits make it nullopt.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace quorvane::cli
