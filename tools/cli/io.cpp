#include "io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
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

std::unexpected<Failure> too_long(const std::string& path, std::uint64_t limit) {
  return input_error(display_name(path) + ": input larger than the limit of " + decimal(limit) +
                     " bytes (--max-input)");
}

// Reads to the end, or to one byte past `limit`. `size_hint` is the
// expected size plus one, so that a regular file is read into one
// allocation and the final read (of 0 bytes) needs no room of its own. The
// buffer is grown without zeroing it first.
Outcome<std::string> read_fd(const Fd& fd, const std::string& path, std::size_t size_hint,
                             std::uint64_t limit) {
  // One byte past the limit proves the input too long.
  const std::size_t most = limit < std::numeric_limits<std::size_t>::max() - 1
                               ? static_cast<std::size_t>(limit) + 1
                               : std::numeric_limits<std::size_t>::max() - 1;
  std::string data;
  int err = 0;
  bool eof = false;
  while (!eof && err == 0 && data.size() < most) {
    const std::size_t filled = data.size();
    std::size_t room = std::min(std::max({size_hint, filled * 2, std::size_t{1} << 16}), most);
    // Near the limit, take the rest in one step: a last small step would
    // make the string double its capacity once more.
    if (most - room < room / 2) room = most;
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
  if (data.size() > limit) return too_long(path, limit);
  return data;
}

// Opens `path` and reads it within `limit`; `check_size` may refuse a
// regular file by its size before it is read.
template <class CheckSize>
Outcome<std::string> read_limited(const std::string& path, std::uint64_t limit,
                                  CheckSize check_size) {
  auto fd = open_input(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat st{};
  std::size_t hint = 0;
  if (::fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > limit) return too_long(path, limit);
    if (auto ok = check_size(size); !ok) return std::unexpected(std::move(ok.error()));
    hint = static_cast<std::size_t>(size);
  }
  return read_fd(*fd, path, hint + 1, limit);
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

namespace {

// The exit status of a core error. Every kind is named, so a new one is
// flagged (-Wswitch) until its status is chosen here.
int exit_status(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::NotFound:
    case ErrorKind::CorruptedWrapper:
    case ErrorKind::MultipleWrappers:
    case ErrorKind::ExclusionMalformed:
    case ErrorKind::HashMismatch:
    case ErrorKind::UnsupportedAlgorithm:
      return kExitC2pa;
    // The input cannot be wrapped at all.
    case ErrorKind::PayloadTooLarge:
    case ErrorKind::PaddingGap:
      return kExitInput;
  }
  return kExitC2pa;
}

}  // namespace

std::unexpected<Failure> core_error(const Error& error) {
  Failure f;
  f.message = error.message();
  if (const auto code = error.status_code()) f.code = std::string(*code);
  f.status = exit_status(error.kind());
  return std::unexpected(std::move(f));
}

std::string decimal(std::uint64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string display_name(const std::string& path) { return path == "-" ? "standard input" : path; }

Outcome<std::string> read_all(const std::string& path, std::uint64_t limit) {
  return read_limited(path, limit, [](std::uint64_t) -> Outcome<void> { return {}; });
}

Outcome<std::string> read_manifest(const std::string& path, std::uint64_t limit) {
  return read_limited(path, limit, [](std::uint64_t size) -> Outcome<void> {
    if (size > wrapper::MAX_PAYLOAD) return core_error(Error::payload_too_large(size));
    return {};
  });
}

bool names_stdin(const std::string& path) noexcept {
  if (path == "-") return true;
  struct stat in{};
  struct stat named{};
  return ::fstat(STDIN_FILENO, &in) == 0 && ::stat(path.c_str(), &named) == 0 &&
         in.st_dev == named.st_dev && in.st_ino == named.st_ino;
}

Outcome<std::string> read_text(const std::string& path, std::uint64_t limit) {
  auto text = read_all(path, limit);
  if (!text) return text;
  if (const auto bad = utf8::first_invalid(*text)) {
    return input_error(display_name(path) +
                       ": not valid UTF-8: invalid byte sequence at byte offset " + decimal(*bad));
  }
  return text;
}

// ---- output ---------------------------------------------------------------
//
// The temporary file's path, for the signal handler: armed only while the
// file exists. It is set and cleared with the three signals blocked, so the
// handler sees either no file or the whole path.

namespace {

volatile std::sig_atomic_t g_temp_armed = 0;
char g_temp_path[PATH_MAX];
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temp_and_die(int sig) {
  if (g_temp_armed != 0) ::unlink(g_temp_path);
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  // Blocked until the handler returns; then the default action ends the
  // process, so its status says which signal it was.
  ::raise(sig);
}

sigset_t cleanup_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kCleanupSignals) sigaddset(&set, sig);
  return set;
}

// Installs the handler for each signal that is not ignored: a signal the
// caller chose to ignore (nohup, a background job) stays ignored.
void install_cleanup() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction act{};
  act.sa_handler = remove_temp_and_die;
  act.sa_mask = cleanup_set();
  for (const int sig : kCleanupSignals) {
    struct sigaction old{};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      ::sigaction(sig, &act, nullptr);
    }
  }
}

// Blocks the clean-up signals for its lifetime.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    const sigset_t set = cleanup_set();
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_{};
};

std::string parent_dir(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// "<dir>/.<name>.quorvane-XXXXXX", with <name> cut short so that the whole
// name fits the directory's NAME_MAX.
std::string temp_template(const std::string& target) {
  const std::string dir = parent_dir(target);
  const auto slash = target.rfind('/');
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  constexpr std::string_view kSuffix = ".quorvane-XXXXXX";
  long name_max = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  if (name_max <= 0) name_max = NAME_MAX;
  const std::size_t room = static_cast<std::size_t>(name_max) - 1 - kSuffix.size();
  if (name.size() > room) name.resize(room);
  return dir + "/." + name + std::string(kSuffix);
}

}  // namespace

namespace {

// Writes all of `data` to `fd`; false with errno set when a write fails.
bool write_output_to(int fd, const Output& data) {
  if (data.produce == nullptr) return write_fd(fd, data.data);
  return (*data.produce)([fd](std::string_view piece) { return write_fd(fd, piece); });
}

}  // namespace

StagedOutput::StagedOutput(std::string path, Output data) noexcept
    : path_(std::move(path)), data_(data) {}

StagedOutput::StagedOutput(StagedOutput&& other) noexcept
    : path_(std::move(other.path_)),
      data_(other.data_),
      fd_(std::exchange(other.fd_, -1)),
      rewrite_(other.rewrite_),
      temp_(std::exchange(other.temp_, false)),
      temp_path_(std::move(other.temp_path_)),
      target_(std::move(other.target_)) {}

StagedOutput::~StagedOutput() {
  if (fd_ > STDERR_FILENO) ::close(fd_);
  if (temp_) {
    const SignalsBlocked blocked;
    ::unlink(temp_path_.c_str());
    g_temp_armed = 0;
  }
}

Outcome<void> StagedOutput::publish() {
  if (temp_) {
    const SignalsBlocked blocked;
    const int rc = ::rename(temp_path_.c_str(), target_.c_str());
    const int err = errno;
    if (rc != 0) {
      ::unlink(temp_path_.c_str());
    }
    temp_ = false;
    g_temp_armed = 0;
    if (rc != 0) return system_error(path_, err);
    return {};
  }
  if (fd_ < 0) return {};
  if (!write_output_to(fd_, data_)) {
    if (path_ == "-") return input_error(std::string("standard output: ") + std::strerror(errno));
    return system_error(path_, errno);
  }
  // A file rewritten in place loses what is left of its old content.
  if (rewrite_) {
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < 0 || ::ftruncate(fd_, end) != 0) return system_error(path_, errno);
  }
  if (fd_ > STDERR_FILENO) {
    const int rc = ::close(std::exchange(fd_, -1));
    if (rc != 0) return system_error(path_, errno);
  }
  return {};
}

Outcome<StagedOutput> stage_output(const std::string& path, Output data) {
  StagedOutput out(path, data);
  if (path == "-") {
    out.fd_ = STDOUT_FILENO;
    return out;
  }
  struct stat st{};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return system_error(path, errno);
  if (exists && S_ISDIR(st.st_mode)) return system_error(path, EISDIR);
  struct stat out_st{};
  if (exists && ::fstat(STDOUT_FILENO, &out_st) == 0 && out_st.st_dev == st.st_dev &&
      out_st.st_ino == st.st_ino) {
    // Standard output's own file (/dev/stdout, /dev/fd/1 or its path): write
    // through it, so that the shell's redirection (>>, say) holds.
    out.fd_ = STDOUT_FILENO;
    return out;
  }
  if (exists && (!S_ISREG(st.st_mode) || st.st_nlink > 1)) {
    // Devices, FIFOs and the like are written, never replaced; so is a file
    // with other hard links, which a new file would leave behind.
    out.fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (out.fd_ < 0) return system_error(path, errno);
    out.rewrite_ = S_ISREG(st.st_mode);
    return out;
  }

  out.target_ = path;
  struct stat link{};
  if (exists && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // Replace the file the link points to, and keep the link.
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return system_error(path, errno);
    out.target_ = real;
    std::free(real);  // NOLINT(cppcoreguidelines-no-malloc): realpath's buffer
  }
  const std::string pattern = temp_template(out.target_);
  if (pattern.size() >= sizeof g_temp_path) return system_error(path, ENAMETOOLONG);

  install_cleanup();
  out.temp_path_ = pattern;  // allocated now: nothing below may fail once the file exists
  int raw = -1;
  int err = 0;
  {
    const SignalsBlocked blocked;
    std::memcpy(g_temp_path, pattern.c_str(), pattern.size() + 1);
    raw = ::mkstemp(g_temp_path);
    err = errno;
    if (raw >= 0) {
      out.temp_path_.assign(g_temp_path, pattern.size());
      out.temp_ = true;
      g_temp_armed = 1;
    }
  }
  if (raw < 0) return system_error(path, err);
  Fd fd(raw);

  mode_t mode = 0;
  if (exists) {
    mode = st.st_mode & 07777;
    // Keep the owner and group where permitted; a set-id bit is kept only
    // together with them.
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
        ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
      mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
  } else {
    // mkstemp creates the file 0600; give it the mode a plain create would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  err = 0;
  if (::fchmod(fd.get(), mode) != 0 || !write_output_to(fd.get(), data) || ::fsync(fd.get()) != 0) {
    err = errno;
  }
  if (fd.close() != 0 && err == 0) err = errno;
  if (err != 0) return system_error(path, err);  // `out` removes the file
  return out;
}

Outcome<void> write_output(const std::string& path, Output data) {
  auto staged = stage_output(path, data);
  if (!staged) return std::unexpected(std::move(staged.error()));
  return staged->publish();
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
