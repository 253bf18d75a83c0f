// Slow, obvious reference code for the tests: UTF-8 handled one code point at
// a time, the wrapper reader written out step by step from the format's
// rules, and NFC as one plain call of ICU. Nothing here calls into the
// library except for its plain types, so the optimised code can be checked
// against it.
#pragma once

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <quorvane/error.hpp>
#include <quorvane/wrapper.hpp>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::testing {

using ByteVec = std::vector<std::uint8_t>;

// The value of a result the test knows holds one. std::expected::value()
// asks for a copyable error, which Error is not (libc++ enforces it); this
// stops the test binary with the error's text instead.
template <class T>
T ok(Result<T>&& result) {
  if (!result) {
    std::fprintf(stderr, "unexpected error: %s\n", result.error().text().c_str());
    std::abort();
  }
  return *std::move(result);
}

inline std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

inline std::string utf8(std::u32string_view cps) {
  std::string s;
  for (const char32_t cp : cps) s += utf8(cp);
  return s;
}

// NFC straight from ICU: the whole text in one call, with none of the
// library's fast paths, pieces or boundaries. Aborts if ICU fails, which no
// valid UTF-8 of a test's size makes it do.
inline std::string ref_nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  std::string out;
  if (U_SUCCESS(status)) {
    icu::StringByteSink<std::string> sink(&out);
    nfc->normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                       nullptr, status);
  }
  if (U_FAILURE(status)) {
    std::fprintf(stderr, "ICU's NFC failed: %s\n", u_errorName(status));
    std::abort();
  }
  return out;
}

struct CodePoint {
  char32_t cp;
  std::size_t offset;
  std::size_t width;
};

// Decodes valid UTF-8 into code points with their byte offsets.
inline std::vector<CodePoint> code_points(std::string_view text) {
  std::vector<CodePoint> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    const std::size_t w = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    char32_t cp = w == 1 ? b0 : w == 2 ? (b0 & 0x1F) : w == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < w; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back({cp, i, w});
    i += w;
  }
  return out;
}

// The byte a selector code point stands for, if it is one.
inline std::optional<std::uint8_t> selector_byte(char32_t cp) {
  if (cp >= 0xFE00 && cp <= 0xFE0F) return static_cast<std::uint8_t>(cp - 0xFE00);
  if (cp >= 0xE0100 && cp <= 0xE01EF) return static_cast<std::uint8_t>(cp - 0xE0100 + 0x10);
  return std::nullopt;
}

inline char32_t selector_of(std::uint8_t b) {
  return b < 0x10 ? char32_t{0xFE00} + b : char32_t{0xE0100} + (b - 0x10u);
}

inline std::string selectors(const ByteVec& bytes) {
  std::string s;
  for (const std::uint8_t b : bytes) s += utf8(selector_of(b));
  return s;
}

// The run of selectors at the start of `text`: its bytes and its byte length.
inline std::pair<ByteVec, std::size_t> ref_decode_run(std::string_view text) {
  ByteVec bytes;
  std::size_t consumed = 0;
  for (const CodePoint& c : code_points(text)) {
    const auto b = selector_byte(c.cp);
    if (!b) break;
    bytes.push_back(*b);
    consumed += c.width;
  }
  return {bytes, consumed};
}

inline ByteVec header(std::uint32_t manifest_length, std::uint8_t version = 1) {
  return {'C',
          '2',
          'P',
          'A',
          'T',
          'X',
          'T',
          0,
          version,
          static_cast<std::uint8_t>(manifest_length >> 24),
          static_cast<std::uint8_t>(manifest_length >> 16),
          static_cast<std::uint8_t>(manifest_length >> 8),
          static_cast<std::uint8_t>(manifest_length)};
}

inline ByteVec cat(ByteVec a, const ByteVec& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline ByteVec bytes_of(std::string_view s) { return ByteVec(s.begin(), s.end()); }

// The marker followed by the selectors of `bytes`, written by hand.
inline std::string marked(const ByteVec& bytes) { return utf8(0xFEFF) + selectors(bytes); }

struct Candidate {
  std::size_t start;
  std::size_t length;
  ByteVec decoded;
};

// Every marker with the selector run that follows it, scanning code point by
// code point and resuming behind each run.
inline std::vector<Candidate> ref_candidates(std::string_view text) {
  const std::vector<CodePoint> cps = code_points(text);
  std::vector<Candidate> out;
  std::size_t i = 0;
  while (i < cps.size()) {
    if (cps[i].cp != 0xFEFF) {
      ++i;
      continue;
    }
    Candidate c{cps[i].offset, 3, {}};
    ++i;
    while (i < cps.size()) {
      const auto b = selector_byte(cps[i].cp);
      if (!b) break;
      c.decoded.push_back(*b);
      c.length += cps[i].width;
      ++i;
    }
    out.push_back(std::move(c));
  }
  return out;
}

inline bool ref_has_magic(const ByteVec& d) {
  static const ByteVec magic = {'C', '2', 'P', 'A', 'T', 'X', 'T', 0};
  return d.size() >= 8 && std::equal(magic.begin(), magic.end(), d.begin());
}

inline std::vector<wrapper::Wrapper> ref_locate_all(std::string_view text) {
  std::vector<wrapper::Wrapper> out;
  for (const Candidate& c : ref_candidates(text)) {
    const ByteVec& d = c.decoded;
    if (d.size() < 13 || !ref_has_magic(d) || d[8] != 1) continue;
    const std::uint64_t len = (std::uint64_t{d[9]} << 24) | (std::uint64_t{d[10]} << 16) |
                              (std::uint64_t{d[11]} << 8) | d[12];
    if (d.size() < 13 + len) continue;
    wrapper::Wrapper w;
    w.payload.assign(d.begin() + 13, d.begin() + 13 + static_cast<std::ptrdiff_t>(len));
    w.version = 1;
    w.start = c.start;
    w.length = c.length;
    out.push_back(std::move(w));
  }
  return out;
}

// What extraction must report: the single wrapper, or the kind of failure.
inline std::optional<ErrorKind> ref_extract_error(std::string_view text) {
  const auto found = ref_locate_all(text);
  if (found.size() == 1) return std::nullopt;
  if (found.size() > 1) return ErrorKind::MultipleWrappers;
  for (const Candidate& c : ref_candidates(text)) {
    if (ref_has_magic(c.decoded)) return ErrorKind::CorruptedWrapper;
  }
  return ErrorKind::NotFound;
}

// ---- the candidate search --------------------------------------------------

inline std::uint64_t ref_stated_length(const ByteVec& d) {
  return (std::uint64_t{d[9]} << 24) | (std::uint64_t{d[10]} << 16) | (std::uint64_t{d[11]} << 8) |
         d[12];
}

// The defect of a candidate's run, classified from the rules one by one.
inline wrapper::Defect ref_defect(const ByteVec& d) {
  using wrapper::Defect;
  if (d.empty()) return Defect::NoRun;
  if (d.size() < 13) return Defect::ShortHeader;
  if (!ref_has_magic(d)) return Defect::WrongMagic;
  if (d[8] != 1) return Defect::WrongVersion;
  if (d.size() - 13 < ref_stated_length(d)) return Defect::LengthOverrun;
  return Defect::None;
}

// Starts of the maximal selector runs that begin with the magic and have
// no U+FEFF in front of them.
inline std::vector<std::size_t> ref_orphans(std::string_view text) {
  const auto cps = code_points(text);
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    if (!selector_byte(cps[i].cp)) continue;
    if (i > 0 && (cps[i - 1].cp == 0xFEFF || selector_byte(cps[i - 1].cp))) continue;
    ByteVec d;
    for (std::size_t k = i; k < cps.size() && d.size() < 8; ++k) {
      const auto b = selector_byte(cps[k].cp);
      if (!b) break;
      d.push_back(*b);
    }
    if (ref_has_magic(d)) out.push_back(cps[i].offset);
  }
  return out;
}

// wrapper::CandidateScanner against the references: candidate by candidate
// the same ranges, runs and defects as ref_candidates and ref_defect;
// canonical padding exactly when the run is what an encoder writes; with
// orphans, the same markers plus ref_orphans in text order. Returns what
// differs first, or nullopt.
inline std::optional<std::string> candidate_mismatch(std::string_view text) {
  const auto ref = ref_candidates(text);
  wrapper::CandidateScanner scanner(text);
  std::size_t i = 0;
  while (const auto c = scanner.next()) {
    const std::string at = "candidate at " + std::to_string(c->start) + ": ";
    if (i >= ref.size()) return at + "not in the reference";
    const Candidate& r = ref[i++];
    if (c->start != r.start || c->length != r.length) return at + "range differs";
    if (!std::ranges::equal(scanner.decoded(), r.decoded) || c->decoded != r.decoded.size()) {
      return at + "decoded run differs";
    }
    if (c->magic != ref_has_magic(r.decoded)) return at + "magic differs";
    if (c->defect != ref_defect(r.decoded)) return at + "defect differs";
    if (c->defect != wrapper::Defect::None) continue;
    const auto payload = scanner.payload();
    const std::string_view actual = text.substr(c->start, c->length);
    const auto plain = wrapper::encode(payload);
    const auto padded = wrapper::encode_padded(payload);
    if (wrapper::has_canonical_padding(*c, scanner.decoded()) !=
        ((plain && actual == *plain) || (padded && actual == *padded))) {
      return at + "canonical padding differs";
    }
  }
  if (i != ref.size()) return std::string("a reference candidate was not found");

  const auto orphans = ref_orphans(text);
  wrapper::CandidateScanner all(text, /*orphans=*/true);
  std::size_t markers = 0, seen = 0;
  std::optional<std::uint64_t> previous;
  while (const auto c = all.next()) {
    const std::string at = "with orphans, candidate at " + std::to_string(c->start) + ": ";
    if (previous && c->start <= *previous) return at + "out of order";
    previous = c->start;
    if (c->defect == wrapper::Defect::MarkerMissing) {
      if (seen >= orphans.size() || orphans[seen++] != c->start) return at + "not an orphan";
      if (!c->magic || ref_decode_run(text.substr(c->start)).second != c->length) {
        return at + "orphan's run differs";
      }
    } else if (markers >= ref.size() || ref[markers++].start != c->start) {
      return at + "marker not in the reference";
    }
  }
  if (markers != ref.size() || seen != orphans.size()) return std::string("orphans missed");
  return std::nullopt;
}

inline ByteVec random_bytes(std::mt19937& rng, std::size_t n) {
  std::uniform_int_distribution<int> byte(0, 255);
  ByteVec out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(byte(rng));
  return out;
}

inline std::string hex(std::string_view s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const char ch : s) {
    const auto b = static_cast<unsigned char>(ch);
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

inline std::string hex(const ByteVec& v) {
  return hex(std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
}

// "ef bb bf" -> the three bytes; blanks are ignored.
inline std::string unhex(std::string_view h) {
  std::string out;
  int hi = -1;
  for (const char ch : h) {
    int v;
    if (ch >= '0' && ch <= '9')
      v = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
      v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
      v = ch - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = v;
    } else {
      out += static_cast<char>(hi * 16 + v);
      hi = -1;
    }
  }
  return out;
}

}  // namespace quorvane::testing
