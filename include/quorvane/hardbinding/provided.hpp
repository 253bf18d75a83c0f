// The provided implementations of the hard binding's interfaces: SHA-2 from
// OpenSSL's libcrypto and NFC from ICU. This is the only code of the library
// that sees either dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <quorvane/hardbinding.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::hardbinding::provided {

// SHA-256, SHA-384 and SHA-512 (FIPS 180-4), one-shot over the whole input.
struct BuiltinCrypto {
  std::vector<std::uint8_t> digest(Algorithm alg, std::span<const std::uint8_t> data) const;
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
struct UnicodeNfc {
  std::string normalize(std::string_view text) const;
  // The same result; hands `text` back without a copy when it is already
  // known to be in NFC.
  std::string normalize_owned(std::string&& text) const;
  // True when normalize(text) would return `text` unchanged (may answer
  // false for texts of 2 GiB and more that are in NFC, never true wrongly).
  bool is_normalized(std::string_view text) const;
};

static_assert(Hasher<BuiltinCrypto>);
static_assert(Normalizer<UnicodeNfc>);

}  // namespace quorvane::hardbinding::provided
