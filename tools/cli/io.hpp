// The command-line tool's plumbing: failures and their exit statuses,
// reading inputs, UTF-8 validation, all-or-nothing output, and the text
// encodings of digests.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
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

  // "<message> [<code>]", or the bare message when there is no code: the
  // form of Error::text().
  std::string display() const { return with_status_code(message, code); }
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

// The default of --max-input: 4 GiB, the format's own ceiling for a
// manifest store.
inline constexpr std::uint64_t kDefaultInputLimit = std::uint64_t{1} << 32;

// The reading functions refuse an input longer than `limit` bytes (exit 2,
// "<path>: input larger than the limit of N bytes (--max-input)") in the
// same words whatever it is: a regular file before it is read, a pipe or a
// device as soon as byte limit + 1 arrives, so an endless source stops
// there.

// The whole content of the file at `path`, or of standard input for "-".
// Errors (exit 2): "<path>: <system error text>", or the limit above.
Outcome<std::string> read_all(const std::string& path, std::uint64_t limit);

// As read_all, refusing a regular file longer than the largest payload
// (but within `limit`) before reading it, with the core's PayloadTooLarge
// message.
Outcome<std::string> read_manifest(const std::string& path, std::uint64_t limit);

// As read_all, then checked to be valid UTF-8.
// Errors (exit 2): "<path>: not valid UTF-8: invalid byte sequence at byte
// offset N", N the offset of the first ill-formed sequence.
Outcome<std::string> read_text(const std::string& path, std::uint64_t limit);

// Whether `path` names the file that is open as standard input: "-", or
// any other name of that same file (/dev/stdin, /dev/fd/0, a path to the
// file redirected in). Names are not compared, files are.
bool names_stdin(const std::string& path) noexcept;

// Output made piece by piece, so a large report need not be held whole:
// called once with `write`, which it calls with each piece in order; it
// returns false as soon as `write` does (errno then says why).
using Write = std::function<bool(std::string_view piece)>;
using Producer = std::function<bool(const Write& write)>;

// What an output holds: `data`, or what `produce` writes when it is set.
struct Output {
  Output(std::string_view data_) noexcept : data(data_) {}    // NOLINT: implicit
  Output(const std::string& data_) noexcept : data(data_) {}  // NOLINT: implicit
  explicit Output(const Producer* produce_) noexcept : produce(produce_) {}

  std::string_view data;
  const Producer* produce = nullptr;
};

// Output to standard output ("-") or to the file of -o, written in full
// before it is published, so a failed run leaves no partial file:
// - a path that does not exist yet is written to a temporary file in the
//   same directory (named within NAME_MAX whatever the target's length),
//   which is renamed onto the path at publish();
// - an existing regular file is replaced the same way (through a symbolic
//   link, its target), and the new file first gets its mode and, where
//   permitted, its owner and group; one with several hard links is
//   rewritten in place instead, so the links keep sharing it;
// - anything else (a device, a FIFO, /dev/stdout) is opened now and written
//   at publish(), never replaced.
// While a temporary file exists, SIGINT, SIGTERM and SIGHUP (unless
// ignored) remove it before the process dies of the signal. Dropping an
// unpublished StagedOutput removes its temporary file. One at a time.
class StagedOutput {
 public:
  StagedOutput(StagedOutput&& other) noexcept;
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;
  StagedOutput& operator=(StagedOutput&&) = delete;
  ~StagedOutput();

  // Puts the output in place. Errors (exit 2): "<path>: <system error text>".
  Outcome<void> publish();

 private:
  friend Outcome<StagedOutput> stage_output(const std::string& path, Output data);
  StagedOutput(std::string path, Output data) noexcept;

  std::string path_;
  Output data_;           // still to be written to fd_ (direct targets)
  int fd_ = -1;           // a direct target, open; -1 when there is none
  bool rewrite_ = false;  // fd_ is a regular file to be rewritten in place
  bool temp_ = false;     // a temporary file waits to be renamed onto path_
  std::string temp_path_;
  std::string target_;  // what the temporary file is renamed onto
};

// Stages `data` for `path` as above; `data` (and its producer) must outlive
// the result. Errors (exit 2): "<path>: <system error text>" ("Is a
// directory" for a directory).
Outcome<StagedOutput> stage_output(const std::string& path, Output data);

// stage_output then publish.
Outcome<void> write_output(const std::string& path, Output data);

// Standard base64 (RFC 4648, section 4) with padding.
std::string base64_encode(std::span<const std::uint8_t> bytes);
// The bytes of standard base64 text. The padding may be left out; any other
// character, a misplaced '=' or non-zero spare bits make it nullopt.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace quorvane::cli
