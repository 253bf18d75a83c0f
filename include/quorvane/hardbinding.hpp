// The `c2pa.hash.data` hard binding of a text: a SHA-2 digest over the text
// with the excluded byte ranges (in practice the wrapper) removed and the
// remainder normalised to NFC.
//
// The operations are generic over the digest (`Hasher`) and the normaliser
// (`Normalizer`); the provided implementations are in hardbinding/provided.
#pragma once

#include <concepts>
#include <cstdint>
#include <quorvane/error.hpp>
#include <quorvane/wrapper.hpp>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::hardbinding {

// ---- algorithms ----------------------------------------------------------

class Algorithm {
 public:
  enum Value : std::uint8_t { Sha256 = 0, Sha384 = 1, Sha512 = 2 };

  constexpr Algorithm(Value v) noexcept : value_(v) {}  // NOLINT: implicit by design

  // Exactly "sha256", "sha384" or "sha512", byte for byte.
  // Errors: UnsupportedAlgorithm carrying an owned copy of `id` unchanged.
  static Result<Algorithm> from_id(std::string_view id);

  // The identifier, as static text; the inverse of from_id.
  constexpr std::string_view id() const noexcept {
    switch (value_) {
      case Sha256:
        return "sha256";
      case Sha384:
        return "sha384";
      case Sha512:
        return "sha512";
    }
    return "sha256";
  }

  // 32, 48 or 64.
  constexpr std::size_t digest_length() const noexcept {
    switch (value_) {
      case Sha256:
        return 32;
      case Sha384:
        return 48;
      case Sha512:
        return 64;
    }
    return 32;
  }

  constexpr Value value() const noexcept { return value_; }
  friend constexpr bool operator==(Algorithm, Algorithm) = default;

 private:
  Value value_;
};

// A digest implementation: one-shot over a contiguous buffer, stateless,
// never failing. The result is exactly `alg.digest_length()` bytes.
template <class H>
concept Hasher = requires(const H& h, Algorithm alg, std::span<const std::uint8_t> data) {
  { h.digest(alg, data) } -> std::same_as<std::vector<std::uint8_t>>;
};

// Receives bytes in order: the hashed bytes of a text as they are produced.
class ByteSink {
 public:
  virtual void write(std::span<const std::uint8_t> bytes) = 0;

 protected:
  ~ByteSink() = default;
};

// A hasher that can also digest incrementally: `h.begin(alg)` returns a
// ByteSink whose `finish()` gives the same digest as `h.digest(alg, ...)`
// over everything written to it.
template <class H>
concept StreamingHasher = Hasher<H> && requires(const H& h, Algorithm alg) {
  { h.begin(alg).finish() } -> std::same_as<std::vector<std::uint8_t>>;
} && std::derived_from<decltype(std::declval<const H&>().begin(Algorithm::Sha256)), ByteSink>;

// ---- hashed bytes --------------------------------------------------------

struct Exclusion {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  friend bool operator==(const Exclusion&, const Exclusion&) = default;
};

// A text normaliser: borrowed UTF-8 in, its normal form as new UTF-8 out.
// Stateless and default-constructible, so that an operation can be
// instantiated for it without a value at run time. A normaliser may also
// offer `normalize_owned(std::string&&)`, with the same result, to hand an
// already normal buffer back without copying it, and
// `is_normalized(std::string_view) -> bool`, true only for text that it
// would return unchanged.
template <class N>
concept Normalizer = std::default_initializable<N> && requires(const N& n, std::string_view s) {
  { n.normalize(s) } -> std::same_as<std::string>;
};

// A normaliser that can also write the normal form of several pieces, read
// as one text joined in order, to a sink, without joining them first.
template <class N>
concept StreamingNormalizer =
    Normalizer<N> && requires(const N& n, std::span<const std::string_view> pieces,
                              ByteSink& sink) { n.normalize_to(pieces, sink); };

// A normaliser that can also take the pieces one at a time:
// `n.writer(sink)` returns a writer whose `feed(piece)`, called for each
// piece in order, and then `finish()`, write to `sink` what
// `n.normalize_to(pieces, sink)` would.
template <class N>
concept IncrementalNormalizer =
    StreamingNormalizer<N> && requires(const N& n, ByteSink& sink, std::string_view piece) {
      n.writer(sink).feed(piece);
      n.writer(sink).finish();
    };

// The bytes that a data hash covers: `text` with the `exclusions` removed in
// list order, the joined remainder normalised by N as one text.
// Each exclusion must satisfy, in this order: start + length does not
// overflow; start is not before the end of the previous one; the end is
// inside the text; both ends are character boundaries.
// Errors: ExclusionMalformed for the first exclusion that fails.
// `exclusions` must not be empty (both callers ensure it).
namespace detail {

// The checks one exclusion must pass, in their order, given the end of the
// previous one (`cursor`). On success returns true and sets `end`.
inline bool exclusion_ok(std::string_view text, const Exclusion& ex, std::uint64_t cursor,
                         std::uint64_t& end) noexcept {
  const auto e = wrapper::range_end(ex.start, ex.length);
  if (!e) return false;
  end = *e;
  return ex.start >= cursor && wrapper::range_acceptable(text, ex.start, end);
}

inline std::string_view span_of(std::string_view text, std::uint64_t from, std::uint64_t to) {
  return text.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
}

template <class N>
std::string normalize_buffer(const N& normalizer, std::string&& buffer) {
  if constexpr (requires {
                  { normalizer.normalize_owned(std::move(buffer)) } -> std::same_as<std::string>;
                }) {
    return normalizer.normalize_owned(std::move(buffer));
  } else {
    return normalizer.normalize(buffer);
  }
}

template <class N>
bool known_normalized(const N& normalizer, std::string_view text) {
  if constexpr (requires {
                  { normalizer.is_normalized(text) } -> std::same_as<bool>;
                }) {
    return normalizer.is_normalized(text);
  } else {
    return false;
  }
}

}  // namespace detail

namespace detail {

// The kept pieces of `text`: the spans between the exclusions, in order,
// empty ones left out. Checks every exclusion, once.
// Errors: ExclusionMalformed for the first exclusion that fails.
inline Result<std::vector<std::string_view>> kept_pieces(std::string_view text,
                                                         std::span<const Exclusion> exclusions) {
  std::vector<std::string_view> pieces;
  pieces.reserve(exclusions.size() + 1);
  std::uint64_t cursor = 0;
  for (const Exclusion& ex : exclusions) {
    std::uint64_t end = 0;
    if (!exclusion_ok(text, ex, cursor, end)) {
      return std::unexpected(Error::exclusion_malformed());
    }
    if (ex.start > cursor) pieces.push_back(span_of(text, cursor, ex.start));
    cursor = end;
  }
  if (cursor < text.size()) pieces.push_back(span_of(text, cursor, text.size()));
  return pieces;
}

template <Normalizer N>
std::string normalize_pieces(const N& normalizer, std::span<const std::string_view> pieces) {
  if (pieces.size() == 1) return normalizer.normalize(pieces[0]);
  std::size_t total = 0;
  for (std::string_view p : pieces) total += p.size();
  std::string kept;
  kept.reserve(total);
  for (std::string_view p : pieces) kept.append(p);
  return normalize_buffer(normalizer, std::move(kept));
}

}  // namespace detail

template <Normalizer N>
Result<std::string> hashed_bytes(std::string_view text, std::span<const Exclusion> exclusions,
                                 const N& normalizer = N{}) {
  auto pieces = detail::kept_pieces(text, exclusions);
  if (!pieces) return std::unexpected(std::move(pieces.error()));
  if (pieces->empty()) return detail::normalize_buffer(normalizer, std::string());
  return detail::normalize_pieces(normalizer, *pieces);
}

// The digest of hashed_bytes(text, exclusions, normalizer): the same bytes
// digested, with less copying where that cannot change them. The exclusions
// are checked once. When the hasher can digest incrementally and the
// normaliser can write to a sink, the kept pieces are normalised straight
// into the digest, with no copy of the text; otherwise they are joined (a
// single piece is normalised where it lies) and digested in one go.
// Errors: ExclusionMalformed, as hashed_bytes.
template <Hasher H, Normalizer N>
Result<std::vector<std::uint8_t>> digest_hashed_bytes(std::string_view text,
                                                      std::span<const Exclusion> exclusions,
                                                      Algorithm alg, const H& hasher,
                                                      const N& normalizer = N{}) {
  auto pieces = detail::kept_pieces(text, exclusions);
  if (!pieces) return std::unexpected(std::move(pieces.error()));
  if constexpr (StreamingHasher<H> && StreamingNormalizer<N>) {
    auto stream = hasher.begin(alg);
    normalizer.normalize_to(std::span<const std::string_view>(*pieces), stream);
    return stream.finish();
  } else {
    if (pieces->empty()) {
      return hasher.digest(alg, wrapper::as_bytes(detail::normalize_buffer(normalizer, {})));
    }
    if (pieces->size() == 1 && detail::known_normalized(normalizer, (*pieces)[0])) {
      return hasher.digest(alg, wrapper::as_bytes((*pieces)[0]));
    }
    return hasher.digest(alg, wrapper::as_bytes(detail::normalize_pieces(normalizer, *pieces)));
  }
}

// ---- the data hash -------------------------------------------------------

struct DataHash {
  std::vector<Exclusion> exclusions;
  std::string alg;
  std::vector<std::uint8_t> hash;
  friend bool operator==(const DataHash&, const DataHash&) = default;
};

// The binding of a text that carries exactly one wrapper: its one exclusion
// is the wrapper's range.
// Errors: NotFound, CorruptedWrapper, MultipleWrappers (from extraction).
template <Hasher H, Normalizer N>
Result<DataHash> compute_data_hash(std::string_view text, Algorithm alg, const H& hasher,
                                   const N& normalizer) {
  auto found = wrapper::extract_range(text);
  if (!found) return std::unexpected(std::move(found.error()));
  const Exclusion ex{found->start, found->length};
  auto digest =
      digest_hashed_bytes(text, std::span<const Exclusion>(&ex, 1), alg, hasher, normalizer);
  if (!digest) return std::unexpected(std::move(digest.error()));
  DataHash out;
  out.exclusions.push_back(ex);
  out.alg = std::string(alg.id());
  out.hash = std::move(*digest);
  return out;
}

// compute_data_hash for a text that arrives in order, for a front end that
// produces it piece by piece: the caller has given the first `prefix_size`
// bytes to `writer` (a writer of N whose sink is `stream`, a stream of H
// begun for `alg`), and those bytes hold no marker that may be a wrapper
// (wrapper::marker_role: every U+FEFF among them is an ordinary character
// to the search), so all of them are kept; `rest` is the remainder of the
// text, which begins at a character.
// The result is that of compute_data_hash over the whole text.
// Errors: as compute_data_hash.
template <class Stream, class Writer>
Result<DataHash> finish_data_hash(std::uint64_t prefix_size, std::string_view rest, Algorithm alg,
                                  Stream& stream, Writer& writer) {
  auto found = wrapper::extract_range(rest);
  if (!found) return std::unexpected(std::move(found.error()));
  const Exclusion local{found->start, found->length};
  auto pieces = detail::kept_pieces(rest, std::span<const Exclusion>(&local, 1));
  if (!pieces) return std::unexpected(std::move(pieces.error()));
  for (std::string_view piece : *pieces) writer.feed(piece);
  writer.finish();
  DataHash out;
  out.exclusions.push_back({prefix_size + found->start, found->length});
  out.alg = std::string(alg.id());
  out.hash = stream.finish();
  return out;
}

// Checks `binding` against `text`, in this order:
//   1. empty exclusions                                -> ExclusionMalformed
//   2. alg not an identifier                            -> UnsupportedAlgorithm
//   3. not exactly one valid wrapper                   -> NotFound, CorruptedWrapper,
//                                                         MultipleWrappers
//   4. no exclusion equals the wrapper's range exactly -> ExclusionMalformed
//   5. an exclusion fails the checks of hashed_bytes   -> ExclusionMalformed
//   6-7. digest length or bytes differ from `hash`     -> HashMismatch
namespace detail {

// Steps 1 to 4 for a text whose first `prefix_size` bytes hold no marker
// that may be a wrapper (as for finish_data_hash) and whose remainder is
// `rest`. Returns the algorithm.
inline Result<Algorithm> check_binding_wrapper(std::uint64_t prefix_size, std::string_view rest,
                                               const DataHash& binding) {
  if (binding.exclusions.empty()) return std::unexpected(Error::exclusion_malformed());
  auto alg = Algorithm::from_id(binding.alg);
  if (!alg) return std::unexpected(std::move(alg.error()));
  auto found = wrapper::extract_range(rest);
  if (!found) return std::unexpected(std::move(found.error()));
  for (const Exclusion& ex : binding.exclusions) {
    if (ex.start == prefix_size + found->start && ex.length == found->length) return *alg;
  }
  return std::unexpected(Error::exclusion_malformed());
}

}  // namespace detail

template <Hasher H, Normalizer N>
Status verify_data_hash(std::string_view text, const DataHash& binding, const H& hasher,
                        const N& normalizer) {
  auto alg = detail::check_binding_wrapper(0, text, binding);
  if (!alg) return std::unexpected(std::move(alg.error()));
  auto digest = digest_hashed_bytes(text, std::span<const Exclusion>(binding.exclusions), *alg,
                                    hasher, normalizer);
  if (!digest) return std::unexpected(Error::exclusion_malformed());
  if (*digest != binding.hash) return std::unexpected(Error::hash_mismatch());
  return {};
}

// verify_data_hash for a text that arrives in order, as finish_data_hash:
// the first `prefix_size` bytes went to `writer` (whose sink is `stream`,
// begun for the algorithm that `binding.alg` names) and hold no marker
// that may be a wrapper; `rest` is the remainder. No exclusion may start
// inside the prefix (the caller stops the prefix before the first one).
// Same result as verify_data_hash over the whole text.
template <class Stream, class Writer>
Status finish_verify_data_hash(std::uint64_t prefix_size, std::string_view rest,
                               const DataHash& binding, Stream& stream, Writer& writer) {
  auto alg = detail::check_binding_wrapper(prefix_size, rest, binding);
  if (!alg) return std::unexpected(std::move(alg.error()));
  std::vector<Exclusion> local;
  local.reserve(binding.exclusions.size());
  for (const Exclusion& ex : binding.exclusions) {
    // Only a later exclusion can start before the end of the prefix, and
    // that one starts before the end of the first: out of order.
    if (ex.start < prefix_size) return std::unexpected(Error::exclusion_malformed());
    local.push_back({ex.start - prefix_size, ex.length});
  }
  auto pieces = detail::kept_pieces(rest, local);
  if (!pieces) return std::unexpected(Error::exclusion_malformed());
  for (std::string_view piece : *pieces) writer.feed(piece);
  writer.finish();
  if (stream.finish() != binding.hash) return std::unexpected(Error::hash_mismatch());
  return {};
}

}  // namespace quorvane::hardbinding
