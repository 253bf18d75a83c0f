#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <quorvane/error.hpp>
#include <string>
#include <string_view>

namespace quorvane {
namespace {

struct ErrorRow {
  const char* label;
  std::function<Error()> make;
  ErrorKind kind;
  std::string message;
  std::optional<std::string_view> code;
};

TEST(Error, MessagesAndStatusCodes) {
  const ErrorRow rows[] = {
      {"not_found", [] { return Error::not_found(); }, ErrorKind::NotFound,
       "no C2PA text manifest wrapper found", std::nullopt},
      {"corrupted", [] { return Error::corrupted_wrapper(); }, ErrorKind::CorruptedWrapper,
       "wrapper candidate detected but it did not fully decode", "manifest.text.corruptedWrapper"},
      {"multiple", [] { return Error::multiple_wrappers(); }, ErrorKind::MultipleWrappers,
       "more than one valid wrapper found", "manifest.text.multipleWrappers"},
      {"too_large_small", [] { return Error::payload_too_large(0); }, ErrorKind::PayloadTooLarge,
       "payload of 0 bytes exceeds the u32 manifestLength field", std::nullopt},
      {"too_large_2^32", [] { return Error::payload_too_large(4294967296ull); },
       ErrorKind::PayloadTooLarge,
       "payload of 4294967296 bytes exceeds the u32 manifestLength field", std::nullopt},
      {"too_large_max", [] { return Error::payload_too_large(18446744073709551615ull); },
       ErrorKind::PayloadTooLarge,
       "payload of 18446744073709551615 bytes exceeds the u32 manifestLength field", std::nullopt},
      {"padding_gap_5", [] { return Error::padding_gap(5); }, ErrorKind::PaddingGap,
       "a padding gap of 5 bytes is not expressible as 3a + 4b", std::nullopt},
      {"exclusion", [] { return Error::exclusion_malformed(); }, ErrorKind::ExclusionMalformed,
       "data hash exclusion range is malformed", "assertion.dataHash.malformed"},
      {"mismatch", [] { return Error::hash_mismatch(); }, ErrorKind::HashMismatch,
       "data hash does not match the asset content", "assertion.dataHash.mismatch"},
      {"alg_upper", [] { return Error::unsupported_algorithm("SHA256"); },
       ErrorKind::UnsupportedAlgorithm, "unsupported hash algorithm: SHA256",
       "algorithm.unsupported"},
      {"alg_empty", [] { return Error::unsupported_algorithm(""); },
       ErrorKind::UnsupportedAlgorithm, "unsupported hash algorithm: ", "algorithm.unsupported"},
      {"alg_blanks", [] { return Error::unsupported_algorithm(" sha-1 "); },
       ErrorKind::UnsupportedAlgorithm, "unsupported hash algorithm:  sha-1 ",
       "algorithm.unsupported"},
  };
  for (const ErrorRow& row : rows) {
    SCOPED_TRACE(row.label);
    const Error e = row.make();
    EXPECT_EQ(e.kind(), row.kind);
    EXPECT_EQ(e.message(), row.message);
    EXPECT_EQ(e.status_code(), row.code);
  }
}

TEST(Error, CarriedValues) {
  EXPECT_EQ(Error::payload_too_large(4294967296ull).size(), 4294967296ull);
  EXPECT_EQ(Error::padding_gap(5).size(), 5u);
  EXPECT_EQ(Error::unsupported_algorithm("SHA256").name(), "SHA256");
  EXPECT_EQ(Error::unsupported_algorithm("").name(), "");

  // A moved error keeps its kind and carried name.
  Error a = Error::unsupported_algorithm("md5");
  const Error b = std::move(a);
  EXPECT_EQ(b.kind(), ErrorKind::UnsupportedAlgorithm);
  EXPECT_EQ(b.message(), "unsupported hash algorithm: md5");
}

}  // namespace
}  // namespace quorvane
