// The provided implementations of the hard binding's interfaces: SHA-2 from
// OpenSSL's libcrypto and NFC from ICU. This is the only code of the library
// that sees either dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <quorvane/hardbinding.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::hardbinding::provided {

// SHA-256, SHA-384 and SHA-512 (FIPS 180-4), one-shot or incremental.
// Uses libcrypto's SHA-2 functions directly: no algorithm fetch per call,
// nothing cached, no provider machinery.
struct BuiltinCrypto {
  // An incremental digest: write() the input in order, then finish() once.
  class Stream final : public ByteSink {
   public:
    explicit Stream(Algorithm alg) noexcept;
    void write(std::span<const std::uint8_t> bytes) override;
    std::vector<std::uint8_t> finish();

   private:
    Algorithm alg_;
    alignas(16) unsigned char state_[256];
  };

  std::vector<std::uint8_t> digest(Algorithm alg, std::span<const std::uint8_t> data) const;
  Stream begin(Algorithm alg) const noexcept { return Stream(alg); }
};

// The versions of the character data UnicodeNfc normalises with: Unicode's
// ("15.0") and ICU's ("72.1"). The Unicode version decides the NFC of
// characters assigned or changed after it, and so their digests.
struct NfcDataVersion {
  std::string unicode;
  std::string icu;
};
NfcDataVersion nfc_data_version();

// Canonical composition (NFC, UAX #15) with ICU's character data.
// ICU reporting a failure other than exhausted memory (which is thrown as
// std::bad_alloc) is a broken installation, not an input error; it is thrown
// as std::runtime_error for the caller's boundary to report.
// Time is linear in the length of the text for every input, and the
// working memory of normalize_to stays within a small multiple of the
// longest stretch between ICU normalisation boundaries that holds no long
// run of combining marks (such runs are never held whole).
struct UnicodeNfc {
  std::string normalize(std::string_view text) const;
  // The same result; hands `text` back without a copy when it is already
  // known to be in NFC.
  std::string normalize_owned(std::string&& text) const;
  // True exactly when normalize(text) would return `text` unchanged.
  bool is_normalized(std::string_view text) const;
  // Writes the NFC of the pieces, read as one text joined in order, to
  // `sink`. Each piece must be valid UTF-8 on its own.
  void normalize_to(std::span<const std::string_view> pieces, ByteSink& sink) const;

  // normalize_to for pieces that arrive one at a time: feed() each, in
  // order, then finish() once. The output written by then is the same.
  class Writer {
   public:
    explicit Writer(ByteSink& sink);
    Writer(Writer&&) noexcept;
    Writer& operator=(Writer&&) noexcept;
    ~Writer();
    // Each piece must be valid UTF-8 on its own.
    void feed(std::string_view piece);
    // The same, given also the piece's code points (exactly those of
    // `piece`), which decide most text's normal form without decoding it.
    void feed(std::string_view piece, std::span<const char32_t> code_points);
    void finish();

   private:
    // Feeds a piece whose code points were already scanned (internal: see
    // nfc.hpp).
    friend void feed_scanned(Writer& writer, std::string_view piece,
                             std::span<const char32_t> code_points, bool trivial);
    struct Impl;
    std::unique_ptr<Impl> impl_;
  };
  Writer writer(ByteSink& sink) const { return Writer(sink); }
};

static_assert(StreamingHasher<BuiltinCrypto>);
static_assert(IncrementalNormalizer<UnicodeNfc>);

}  // namespace quorvane::hardbinding::provided
