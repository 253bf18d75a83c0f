#include <quorvane/hardbinding/provided.hpp>

#include "hardbinding/nfc.hpp"
#include "hardbinding/scan.hpp"

// The SHA-2 functions of libcrypto that take a context of our own are
// deprecated in OpenSSL 3 in favour of EVP, but present and exact. They are
// used on purpose: no algorithm fetch on each call, and linked statically
// they pull in a few kilobytes instead of the provider machinery.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

namespace quorvane::hardbinding::provided {

// ---- SHA-2 ----------------------------------------------------------------

static_assert(sizeof(SHA256_CTX) <= 256 && sizeof(SHA512_CTX) <= 256);
static_assert(alignof(SHA256_CTX) <= 16 && alignof(SHA512_CTX) <= 16);

namespace {
SHA256_CTX* ctx256(unsigned char* state) noexcept { return reinterpret_cast<SHA256_CTX*>(state); }
SHA512_CTX* ctx512(unsigned char* state) noexcept { return reinterpret_cast<SHA512_CTX*>(state); }
}  // namespace

BuiltinCrypto::Stream::Stream(Algorithm alg) noexcept : alg_(alg), state_{} {
  switch (alg_.value()) {
    case Algorithm::Sha256:
      SHA256_Init(ctx256(state_));
      break;
    case Algorithm::Sha384:
      SHA384_Init(ctx512(state_));
      break;
    case Algorithm::Sha512:
      SHA512_Init(ctx512(state_));
      break;
  }
}

void BuiltinCrypto::Stream::write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  switch (alg_.value()) {
    case Algorithm::Sha256:
      SHA256_Update(ctx256(state_), bytes.data(), bytes.size());
      break;
    case Algorithm::Sha384:
      SHA384_Update(ctx512(state_), bytes.data(), bytes.size());
      break;
    case Algorithm::Sha512:
      SHA512_Update(ctx512(state_), bytes.data(), bytes.size());
      break;
  }
}

std::vector<std::uint8_t> BuiltinCrypto::Stream::finish() {
  std::vector<std::uint8_t> out(alg_.digest_length());
  switch (alg_.value()) {
    case Algorithm::Sha256:
      SHA256_Final(out.data(), ctx256(state_));
      break;
    case Algorithm::Sha384:
      SHA384_Final(out.data(), ctx512(state_));
      break;
    case Algorithm::Sha512:
      SHA512_Final(out.data(), ctx512(state_));
      break;
  }
  return out;
}

NfcDataVersion nfc_data_version() {
  char text[U_MAX_VERSION_STRING_LENGTH];
  UVersionInfo v;
  NfcDataVersion out;
  u_getUnicodeVersion(v);
  u_versionToString(v, text);
  out.unicode = text;
  u_getVersion(v);
  u_versionToString(v, text);
  out.icu = text;
  return out;
}

std::vector<std::uint8_t> BuiltinCrypto::digest(Algorithm alg,
                                                std::span<const std::uint8_t> data) const {
  Stream stream(alg);
  stream.write(data);
  return stream.finish();
}

// ---- NFC ------------------------------------------------------------------

namespace {

const icu::Normalizer2& nfc_instance() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) {
    // ICU without its data cannot normalise at all; nothing sensible can be
    // returned, and silently hashing unnormalised text would be worse.
    throw std::runtime_error("ICU NFC normaliser unavailable");
  }
  return *nfc;
}

// One bit per code point for each of the two properties, taken from ICU's
// sets for the underlying Unicode properties when first needed.
class CodePointTable {
 public:
  static constexpr std::size_t kWords = 0x110000 / 64;

  CodePointTable() {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeSet trivial;
    trivial.applyIntPropertyValue(UCHAR_NFC_QUICK_CHECK, UNORM_YES, status);
    icu::UnicodeSet class_zero;
    class_zero.applyIntPropertyValue(UCHAR_CANONICAL_COMBINING_CLASS, 0, status);
    trivial.retainAll(class_zero);
    icu::UnicodeSet lead_zero;
    lead_zero.applyIntPropertyValue(UCHAR_LEAD_CANONICAL_COMBINING_CLASS, 0, status);
    if (U_FAILURE(status) || trivial.isBogus() || lead_zero.isBogus()) {
      if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
      throw std::runtime_error("ICU normalisation data unavailable");
    }
    fill(trivial_, trivial, false);
    fill(non_starter_, lead_zero, true);
  }

  bool trivial(char32_t c) const noexcept { return test(trivial_, c); }
  bool non_starter(char32_t c) const noexcept { return test(non_starter_, c); }

 private:
  using Bits = std::array<std::uint64_t, kWords>;

  static bool test(const Bits& bits, char32_t c) noexcept {
    return ((bits[c >> 6] >> (c & 63)) & 1u) != 0;
  }

  // Sets the bits of the code points in `set`, or of those not in it.
  static void fill(Bits& bits, const icu::UnicodeSet& set, bool complement) {
    bits.fill(complement ? ~std::uint64_t{0} : 0);
    for (int32_t r = 0; r < set.getRangeCount(); ++r) {
      for (UChar32 c = set.getRangeStart(r); c <= set.getRangeEnd(r); ++c) {
        const auto u = static_cast<std::uint32_t>(c);
        const std::uint64_t bit = std::uint64_t{1} << (u & 63);
        if (complement) {
          bits[u >> 6] &= ~bit;
        } else {
          bits[u >> 6] |= bit;
        }
      }
    }
  }

  Bits trivial_{};
  Bits non_starter_{};
};

const CodePointTable& table() {
  static const auto* const t = new CodePointTable();  // built once, thread-safe, never freed
  return *t;
}

// Decodes the character of valid UTF-8 at p[i] (lead at least 0x80).
inline char32_t decode(const unsigned char* p, std::size_t i, std::size_t& width) noexcept {
  const unsigned lead = p[i];
  if (lead < 0xE0) {
    width = 2;
    return ((lead & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
  }
  if (lead < 0xF0) {
    width = 3;
    return ((lead & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
  }
  width = 4;
  return ((lead & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) |
         (p[i + 3] & 0x3Fu);
}

// Index of the first character of the valid UTF-8 `p[from..n)` that is not
// trivial, or n.
std::size_t first_non_trivial(const CodePointTable& t, const unsigned char* p, std::size_t from,
                              std::size_t n) noexcept {
  std::size_t i = from;
  while (i < n) {
    if (p[i] < 0xCC) {
      // Bytes below 0xCC (ASCII, continuation bytes, the leads of
      // U+0080..U+02FF) are all parts of trivial characters. Short
      // stretches of them (the spaces and stops between the words of other
      // scripts) are passed over here, long ones by the vector scan.
      const std::size_t near = std::min(n, i + 8);
      std::size_t k = i + 1;
      while (k < near && p[k] < 0xCC) ++k;
      i = k < near || k == n ? k : k + first_at_least(p + k, n - k, 0xCC);
      continue;
    }
    if ((p[i] & 0xF0) == 0xE0) {
      // Characters of 3 bytes (most of CJK, Hangul, punctuation) come in
      // runs: a loop for them alone, without the dispatch on each lead.
      do {
        const char32_t c = ((p[i] & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
        if (!t.trivial(c)) return i;
        i += 3;
      } while (i < n && (p[i] & 0xF0) == 0xE0);
      continue;
    }
    std::size_t width;
    const char32_t c = decode(p, i, width);
    if (!t.trivial(c)) return i;
    i += width;
  }
  return n;
}

std::size_t char_start_before(const unsigned char* p, std::size_t i) noexcept {
  do {
    --i;
  } while (i > 0 && (p[i] & 0xC0) == 0x80);
  return i;
}

void append_utf8(std::string& out, char32_t c) {
  char buf[4];
  std::size_t n = 0;
  U8_APPEND_UNSAFE(buf, n, static_cast<UChar32>(c));
  out.append(buf, n);
}

// The full canonical decomposition of the character at text[i] (itself
// when it has none); advances i past it.
void decompose_at(const icu::Normalizer2& nfc, std::string_view text, std::size_t& i,
                  icu::UnicodeString& decomposition, std::u32string& out) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  UChar32 c;
  U8_NEXT_UNSAFE(s, i, c);
  out.clear();
  if (c < 0xC0 || !nfc.getDecomposition(c, decomposition)) {
    out.push_back(static_cast<char32_t>(c));
    return;
  }
  for (int32_t k = 0; k < decomposition.length();) {
    const UChar32 d = decomposition.char32At(k);
    out.push_back(static_cast<char32_t>(d));
    k += U16_LENGTH(d);
  }
}

// Rewrites `text` into a canonically equivalent form for which ICU's own
// canonical ordering is linear: every character fully decomposed (with
// ICU's decomposition mappings) and every run of non-starters stably sorted
// by combining class. ICU inserts each mark of a run into place one at a
// time, which is quadratic in the length of a run given out of order; on
// the rewritten text it only ever appends. NFC of the result is NFC of
// `text`, and ICU still computes it.
// A run is written one class at a time, each by a pass over the run's
// characters, so no copy of the run is kept besides the output: the passes
// are as many as the classes present (at most 55 exist).
std::string presort(const icu::Normalizer2& nfc, std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  icu::UnicodeString decomposition;
  std::u32string parts;
  // A position in the decomposed text: the character at byte `at` and the
  // index of one of the code points of its decomposition.
  struct Pos {
    std::size_t at;
    std::size_t k;
  };
  std::array<bool, 256> classes{};
  std::size_t class_count = 0;
  const auto emit_run = [&](Pos from, Pos to) {
    for (std::size_t cls = 1; cls < 256; ++cls) {
      if (!classes[cls]) continue;
      std::size_t i = from.at;
      while (true) {
        const std::size_t at = i;
        if (at == text.size()) break;
        decompose_at(nfc, text, i, decomposition, parts);
        const std::size_t first = at == from.at ? from.k : 0;
        const std::size_t last = at == to.at ? to.k : parts.size();
        for (std::size_t k = first; k < last; ++k) {
          if (class_count == 1 || nfc.getCombiningClass(static_cast<UChar32>(parts[k])) == cls) {
            append_utf8(out, parts[k]);
          }
        }
        if (at == to.at) break;
      }
      if (class_count == 1) break;
    }
    classes.fill(false);
    class_count = 0;
  };
  bool in_run = false;
  Pos run_from{0, 0};
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t at = i;
    decompose_at(nfc, text, i, decomposition, parts);
    for (std::size_t k = 0; k < parts.size(); ++k) {
      const std::uint8_t cls = nfc.getCombiningClass(static_cast<UChar32>(parts[k]));
      if (cls == 0) {
        if (in_run) emit_run(run_from, {at, k});
        in_run = false;
        append_utf8(out, parts[k]);
      } else {
        if (!in_run) run_from = {at, k};
        in_run = true;
        if (!classes[cls]) ++class_count;
        classes[cls] = true;
      }
    }
  }
  if (in_run) emit_run(run_from, {text.size(), 0});
  return out;
}

// Forwards ICU's output to a ByteSink. ICU appends a composed character at
// a time, a few bytes each, so the output is gathered here and written in
// blocks: drain() writes what is held.
class IcuSink final : public icu::ByteSink {
 public:
  explicit IcuSink(hardbinding::ByteSink& to) : to_(to) {}
  void Append(const char* bytes, int32_t n) override {
    if (n <= 0) return;
    const auto size = static_cast<std::size_t>(n);
    if (size > held_.size() - used_) drain();
    if (size >= held_.size()) {
      to_.write({reinterpret_cast<const std::uint8_t*>(bytes), size});
      return;
    }
    std::memcpy(held_.data() + used_, bytes, size);
    used_ += size;
  }
  void drain() {
    if (used_ == 0) return;
    to_.write({held_.data(), used_});
    used_ = 0;
  }

 private:
  hardbinding::ByteSink& to_;
  std::array<std::uint8_t, 4096> held_;
  std::size_t used_ = 0;
};

void write(hardbinding::ByteSink& sink, std::string_view bytes) {
  if (!bytes.empty()) sink.write(wrapper::as_bytes(bytes));
}

// Normalises a text given as pieces, in one pass over its characters:
// trivial stretches go to the sink as they are; everything from the
// character before the first non-trivial one up to the next boundary where
// enough trivial text follows goes to ICU, a stretch of at most `limit`
// bytes at a time where a boundary allows. Stretches that cross a piece
// edge are gathered into a buffer; others are read where they lie.
class NfcWriter {
 public:
  NfcWriter(hardbinding::ByteSink& sink, std::size_t limit)
      : sink_(sink), t_(table()), limit_(std::clamp<std::size_t>(limit, 1, INT32_MAX - 8)) {}

  void feed(std::string_view piece, bool last) {
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t n = piece.size();
    std::size_t i = 0;
    std::size_t plain_from = 0;  // start of the trivial text not yet written
    std::size_t pend_from = 0;   // start of the pending text of this piece
    while (i < n) {
      if (!pending_) {
        const std::size_t j = first_non_trivial(t_, p, i, n);
        if (j == n) {
          i = n;
          break;
        }
        // The character before j may compose with it: the stretch for ICU
        // starts there (a trivial character has a boundary before it).
        if (j > plain_from) {
          pend_from = char_start_before(p, j);
          write(sink_, carry_);
          write(sink_, piece.substr(plain_from, pend_from - plain_from));
        } else {
          pend_from = j;
          buffer_ = carry_;  // the last character of the previous piece, if any
        }
        carry_.clear();
        start_pending();
        i = j;
      }
      std::size_t width = 1;
      const char32_t c = p[i] < 0x80 ? p[i] : decode(p, i, width);
      const std::size_t size = buffer_.size() + (i - pend_from);
      if (t_.trivial(c)) {
        run_ = 0;
        if (tail_ >= kTail || size >= limit_) {
          flush(piece.substr(pend_from, i - pend_from));
          plain_from = i;
          continue;
        }
        tail_ += width;
      } else {
        tail_ = 0;
        if (size >= limit_ &&
            (size >= INT32_MAX - 8 || nfc().hasBoundaryBefore(static_cast<UChar32>(c)))) {
          // Only a stretch of over 2 GiB without any boundary is cut at a
          // character that has none.
          flush(piece.substr(pend_from, i - pend_from));
          pend_from = i;
          start_pending();
        }
        if (t_.non_starter(c)) {
          if (++run_ > kSortRun) long_run_ = true;
        } else {
          run_ = 0;
        }
      }
      i += width;
    }
    if (pending_) {
      if (last) {
        flush(piece.substr(pend_from));
      } else {
        buffer_.append(piece.substr(pend_from));
      }
    } else if (last) {
      write(sink_, carry_);
      carry_.clear();
      write(sink_, piece.substr(plain_from));
    } else if (n > plain_from) {
      // Hold the last character back: it may compose with the next piece.
      const std::size_t k = char_start_before(p, n);
      write(sink_, carry_);
      if (k > plain_from) write(sink_, piece.substr(plain_from, k - plain_from));
      carry_.assign(piece.substr(std::max(k, plain_from)));
    }
  }

  // feed(piece, false) for a piece known to hold only trivial characters.
  void feed_trivial(std::string_view piece) {
    if (pending_ || piece.empty()) {
      feed(piece, false);
      return;
    }
    // Hold the last character back: it may compose with the next piece.
    const std::size_t k =
        char_start_before(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
    write(sink_, carry_);
    write(sink_, piece.substr(0, k));
    carry_.assign(piece.substr(k));
  }

  // After the last piece was fed with last = false (or none at all).
  void finish() {
    if (pending_) {
      flush({});
    } else {
      write(sink_, carry_);
      carry_.clear();
    }
  }

 private:
  // Trivial bytes after which a pending stretch is handed to ICU.
  static constexpr std::size_t kTail = 64;

  const icu::Normalizer2& nfc() {
    if (nfc_ == nullptr) nfc_ = &nfc_instance();
    return *nfc_;
  }

  void start_pending() {
    pending_ = true;
    tail_ = 0;
    run_ = 0;
    long_run_ = false;
  }

  // Hands the pending stretch (buffer_ followed by `rest`) to ICU.
  void flush(std::string_view rest) {
    std::string_view stretch = rest;
    if (!buffer_.empty()) {
      buffer_.append(rest);
      stretch = buffer_;
    }
    const icu::Normalizer2& n = nfc();
    std::string sorted;
    if (long_run_) {
      sorted = presort(n, stretch);
      stretch = sorted;
    }
    IcuSink sink(sink_);
    UErrorCode status = U_ZERO_ERROR;
    n.normalizeUTF8(0, icu::StringPiece(stretch.data(), static_cast<int32_t>(stretch.size())), sink,
                    nullptr, status);
    sink.drain();
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_FAILURE(status)) throw std::runtime_error("ICU normalisation failed");
    buffer_.clear();
    if (buffer_.capacity() > 4 * limit_) std::string().swap(buffer_);
    pending_ = false;
  }

  hardbinding::ByteSink& sink_;
  const CodePointTable& t_;
  const icu::Normalizer2* nfc_ = nullptr;
  std::size_t limit_;
  bool pending_ = false;
  bool long_run_ = false;
  std::size_t tail_ = 0;
  std::size_t run_ = 0;
  std::string buffer_;  // pending text gathered from earlier pieces
  std::string carry_;   // last character of the previous piece, not yet written
};

class StringSink final : public hardbinding::ByteSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void write(std::span<const std::uint8_t> bytes) override {
    out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

 private:
  std::string& out_;
};

// Compares what it is given with an expected text.
class CompareSink final : public hardbinding::ByteSink {
 public:
  explicit CompareSink(std::string_view expected) : expected_(expected) {}
  void write(std::span<const std::uint8_t> bytes) override {
    if (!same_) return;
    if (bytes.size() > expected_.size() - at_ ||
        std::memcmp(expected_.data() + at_, bytes.data(), bytes.size()) != 0) {
      same_ = false;
      return;
    }
    at_ += bytes.size();
  }
  bool same() const noexcept { return same_ && at_ == expected_.size(); }

 private:
  std::string_view expected_;
  std::size_t at_ = 0;
  bool same_ = true;
};

}  // namespace

bool nfc_trivial(char32_t c) noexcept { return c < 0x110000 && table().trivial(c); }
bool nfc_non_starter(char32_t c) noexcept { return c < 0x110000 && table().non_starter(c); }

void nfc_normalize_to(std::span<const std::string_view> pieces, ByteSink& sink, std::size_t piece) {
  NfcWriter writer(sink, piece);
  for (std::size_t k = 0; k < pieces.size(); ++k) writer.feed(pieces[k], k + 1 == pieces.size());
  if (pieces.empty()) writer.finish();
}

std::string nfc_normalize(std::string_view text, std::size_t piece) {
  std::string out;
  out.reserve(text.size());
  StringSink sink(out);
  nfc_normalize_to(std::span<const std::string_view>(&text, 1), sink, piece);
  return out;
}

struct UnicodeNfc::Writer::Impl {
  NfcWriter writer;
};

UnicodeNfc::Writer::Writer(ByteSink& sink)
    : impl_(std::make_unique<Impl>(NfcWriter(sink, kDefaultNfcPiece))) {}
UnicodeNfc::Writer::Writer(Writer&&) noexcept = default;
UnicodeNfc::Writer& UnicodeNfc::Writer::operator=(Writer&&) noexcept = default;
UnicodeNfc::Writer::~Writer() = default;
void UnicodeNfc::Writer::feed(std::string_view piece) { impl_->writer.feed(piece, false); }
void UnicodeNfc::Writer::feed(std::string_view piece, std::span<const char32_t> code_points) {
  // Text of mostly one- and two-byte characters is passed over faster as
  // bytes: the byte scan skips all of U+0000..U+02FF at vector speed.
  if (piece.size() < code_points.size() + code_points.size() / 2) {
    impl_->writer.feed(piece, false);
    return;
  }
  const CodePointTable& t = table();
  bool trivial = true;
  // Blocks of code points without a branch on each; the first block with
  // a character that is not trivial ends the search.
  constexpr std::size_t kBlock = 64;
  for (std::size_t at = 0; trivial && at < code_points.size(); at += kBlock) {
    const auto block = code_points.subspan(at, std::min(kBlock, code_points.size() - at));
    for (const char32_t c : block) trivial &= c < 0x110000 && t.trivial(c);
  }
  if (trivial) {
    impl_->writer.feed_trivial(piece);
  } else {
    impl_->writer.feed(piece, false);
  }
}
void UnicodeNfc::Writer::finish() { impl_->writer.finish(); }

std::string UnicodeNfc::normalize(std::string_view text) const { return nfc_normalize(text); }

void UnicodeNfc::normalize_to(std::span<const std::string_view> pieces, ByteSink& sink) const {
  nfc_normalize_to(pieces, sink);
}

bool UnicodeNfc::is_normalized(std::string_view text) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  if (first_non_trivial(table(), p, 0, text.size()) == text.size()) return true;
  CompareSink sink(text);
  nfc_normalize_to(std::span<const std::string_view>(&text, 1), sink);
  return sink.same();
}

std::string UnicodeNfc::normalize_owned(std::string&& text) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  if (first_non_trivial(table(), p, 0, text.size()) == text.size()) return std::move(text);
  return nfc_normalize(text);
}

}  // namespace quorvane::hardbinding::provided
