#include "io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <quorvane/utf8.hpp>
#include <quorvane/wrapper.hpp>
#include <utility>

namespace quorvane::cli {
namespace {

std::unexpected<Failure> system_error(const std::string& path, int err) {
  return input_error(display_name(path) + ": " + std::strerror(err));
}

// Owns a file descriptor; closes it when dropped.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&&) = delete;
  ~Fd() {
    if (fd_ > STDERR_FILENO) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  // Closes now, reporting the result (a delayed write error shows up here).
  int close() noexcept {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

Outcome<Fd> open_input(const std::string& path) {
  if (path == "-") return Fd(STDIN_FILENO);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return system_error(path, errno);
  return Fd(fd);
}

// Reads to the end. `size_hint` is the expected size plus one, so that a
// regular file is read into one allocation and the final read (of 0 bytes)
// needs no room of its own. The buffer is grown without zeroing it first.
Outcome<std::string> read_fd(const Fd& fd, const std::string& path, std::size_t size_hint) {
  std::string data;
  int err = 0;
  bool eof = false;
  while (!eof && err == 0) {
    const std::size_t filled = data.size();
    const std::size_t room = std::max({size_hint, filled * 2, std::size_t{1} << 16});
    data.resize_and_overwrite(room, [&](char* p, std::size_t cap) {
      std::size_t n = filled;
      while (n < cap) {
        const ssize_t got = ::read(fd.get(), p + n, cap - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
          err = errno;
          break;
        }
        if (got == 0) {
          eof = true;
          break;
        }
        n += static_cast<std::size_t>(got);
      }
      return n;
    });
  }
  if (err != 0) return system_error(path, err);
  return data;
}

bool write_fd(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::unexpected<Failure> input_error(std::string message) {
  return std::unexpected(Failure{kExitInput, std::move(message), std::nullopt, false});
}

std::unexpected<Failure> usage_error(std::string message) {
  return std::unexpected(Failure{kExitInput, std::move(message), std::nullopt, true});
}

std::unexpected<Failure> core_error(const Error& error) {
  Failure f;
  f.message = error.message();
  if (const auto code = error.status_code()) f.code = std::string(*code);
  const bool unwrappable =
      error.kind() == ErrorKind::PayloadTooLarge || error.kind() == ErrorKind::PaddingGap;
  f.status = unwrappable ? kExitInput : kExitC2pa;
  return std::unexpected(std::move(f));
}

std::string decimal(std::uint64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string display_name(const std::string& path) { return path == "-" ? "standard input" : path; }

Outcome<std::string> read_all(const std::string& path) {
  auto fd = open_input(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat st{};
  std::size_t hint = 0;
  if (::fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode))
    hint = static_cast<std::size_t>(st.st_size);
  return read_fd(*fd, path, hint + 1);
}

Outcome<std::string> read_manifest(const std::string& path) {
  auto fd = open_input(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat st{};
  std::size_t hint = 0;
  if (::fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > wrapper::MAX_PAYLOAD) return core_error(Error::payload_too_large(size));
    hint = static_cast<std::size_t>(size);
  }
  return read_fd(*fd, path, hint + 1);
}

Outcome<std::string> read_text(const std::string& path) {
  auto text = read_all(path);
  if (!text) return text;
  if (const auto bad = utf8::first_invalid(*text)) {
    return input_error(display_name(path) +
                       ": not valid UTF-8: invalid byte sequence at byte offset " + decimal(*bad));
  }
  return text;
}

Outcome<void> write_output(const std::string& path, std::string_view data) {
  if (path == "-") {
    if (!write_fd(STDOUT_FILENO, data))
      return input_error(std::string("standard output: ") + std::strerror(errno));
    return {};
  }
  const std::filesystem::path target(path);
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
  std::string name = ".";
  name += target.filename().string();
  name += ".quorvane-XXXXXX";
  std::string temp = (dir / name).string();
  const int raw = ::mkstemp(temp.data());
  if (raw < 0) return system_error(path, errno);
  Fd fd(raw);
  // mkstemp creates the file 0600; give it the mode a plain create would.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  int err = 0;
  if (::fchmod(fd.get(), 0666 & ~mask) != 0 || !write_fd(fd.get(), data) ||
      ::fsync(fd.get()) != 0) {
    err = errno;
  }
  if (fd.close() != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return system_error(path, err);
  }
  return {};
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kBase64[(v >> shift) & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out += kBase64[(v >> 18) & 0x3F];
    out += kBase64[(v >> 12) & 0x3F];
    out += rest == 2 ? kBase64[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
  std::size_t pad = 0;
  while (pad < 2 && text.size() > pad && text[text.size() - 1 - pad] == '=') ++pad;
  if (pad > 0 && text.size() % 4 != 0) return std::nullopt;
  const std::string_view body = text.substr(0, text.size() - pad);
  if (body.size() % 4 == 1) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(body.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (const char c : body) {
    const int v = base64_value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  if (acc != 0) return std::nullopt;  // spare bits of the last character
  return out;
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

}  // namespace quorvane::cli
