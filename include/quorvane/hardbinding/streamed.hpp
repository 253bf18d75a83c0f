// The data hash of a text that arrives in order, a piece at a time, for a
// front end whose strings are arrays of code points: each piece's UTF-8 is
// made where this object says, and while no wrapper can have started it is
// normalised and digested at once; only the rest of the text is kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/internal/big_buffer.hpp>
#include <quorvane/wrapper.hpp>
#include <span>
#include <string>

namespace quorvane::hardbinding::provided {

// compute_data_hash or verify_data_hash with BuiltinCrypto and UnicodeNfc
// over a text given as pieces in order. For each piece, call room() for
// where its UTF-8 goes, then add_ascii(), add_latin1() or add(); then
// finish once.
//
// The rule of where hashing early stops: only a U+FEFF whose selector run
// begins with the magic matters to the search for the wrapper
// (wrapper::marker_role), so up to the first such one (and, for
// verification, up to the piece that reaches the binding's first
// exclusion) every piece is normalised into the digest as it comes. From
// there on the pieces are gathered, and finishing treats them as the
// whole-text operation treats the rest of the text. A U+FEFF that ends a
// piece, with the selectors behind it while they spell a beginning of the
// magic, is held back until the next piece shows what follows. The result
// is exactly the whole-text operation's.
//
// Neither room() nor the adds touch anything but this object, so the adds
// may run while the front end lets other threads work. Not copyable or
// movable (the normaliser writes into the digest held beside it).
class StreamedDataHash {
 public:
  // For compute_data_hash(text, alg) of a text of `length` code points.
  StreamedDataHash(Algorithm alg, std::uint64_t length);
  // For verify_data_hash(text, binding), where `alg` is the algorithm that
  // binding.alg names; finish with finish_verify(binding).
  StreamedDataHash(const DataHash& binding, Algorithm alg, std::uint64_t length);
  ~StreamedDataHash();
  StreamedDataHash(const StreamedDataHash&) = delete;
  StreamedDataHash& operator=(const StreamedDataHash&) = delete;

  // Where the UTF-8 of the next piece is to be written, with room for
  // `max_bytes`: 4 for each code point of a piece given to add(), one for
  // each character of an ASCII piece.
  char* room(std::size_t max_bytes);
  // The next piece: `size` bytes of ASCII, already written at room().
  void add_ascii(std::size_t size);
  // The next piece, as Latin-1 (U+0000..U+00FF, one byte each): its
  // UTF-8 is written at room(), which needs 2 bytes for each character.
  void add_latin1(std::span<const std::uint8_t> latin1);
  // The next piece, as its code points: their UTF-8 is written at room().
  // False when they are not all Unicode scalar values (a surrogate): the
  // text has no UTF-8, and this object can then only be dropped.
  bool add(std::span<const char32_t> code_points);
  // Bytes gathered so far for finishing.
  std::size_t gathered() const noexcept { return rest_.size(); }

  // The binding, as compute_data_hash(text, alg) gives it.
  // Errors: as compute_data_hash.
  Result<DataHash> finish_compute();
  // As verify_data_hash(text, binding), for the binding given at
  // construction. Errors: as verify_data_hash.
  Status finish_verify(const DataHash& binding);

 private:
  // What the U+FEFFs of a piece mean for hashing early: none matters; the
  // piece ends in one whose part is not settled yet, from code point
  // `held_from` on (it is held back); or one may begin a wrapper.
  enum class Role : std::uint8_t { None, Held, MayBeginWrapper };
  struct Markers {
    Role role = Role::None;
    std::size_t held_from = 0;
  };
  static Markers markers_in(std::span<const char32_t> code_points) noexcept;
  void take(std::size_t size, std::span<const char32_t> code_points, bool trivial, Markers markers);
  std::size_t held_utf8(char* out) const noexcept;
  void feed_held();

  Algorithm alg_;
  std::uint64_t stop_;  // no piece that reaches past this byte is hashed early
  std::uint64_t left_;  // code points not given yet
  std::uint64_t prefix_ = 0;
  BuiltinCrypto::Stream stream_;
  UnicodeNfc::Writer writer_;
  bool gathering_ = false;  // the pieces now go to rest_
  // A U+FEFF that ended the last piece, and the selectors behind it, which
  // spell a beginning of the magic: not hashed yet.
  std::array<char32_t, wrapper::MAGIC.size()> held_{};
  std::size_t held_count_ = 0;
  std::unique_ptr<char[]> piece_;  // the UTF-8 of a piece hashed early
  std::size_t piece_size_ = 0;
  char* at_ = nullptr;    // where room() said to write
  std::size_t room_ = 0;  // and how much
  std::basic_string<char, std::char_traits<char>, BigBufferAllocator<char>> rest_;
};

}  // namespace quorvane::hardbinding::provided
