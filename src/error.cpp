#include <charconv>
#include <quorvane/error.hpp>

namespace quorvane {
namespace {

// The fixed text of a kind, split around the one "{}" of the kinds that
// carry a value. `tail` is empty for the kinds without a value.
struct Template {
  std::string_view head;
  std::string_view tail;
};

Template message_template(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::NotFound:
      return {"no C2PA text manifest wrapper found", {}};
    case ErrorKind::CorruptedWrapper:
      return {"wrapper candidate detected but it did not fully decode", {}};
    case ErrorKind::MultipleWrappers:
      return {"more than one valid wrapper found", {}};
    case ErrorKind::PayloadTooLarge:
      return {"payload of ", " bytes exceeds the u32 manifestLength field"};
    case ErrorKind::PaddingGap:
      return {"a padding gap of ", " bytes is not expressible as 3a + 4b"};
    case ErrorKind::ExclusionMalformed:
      return {"data hash exclusion range is malformed", {}};
    case ErrorKind::HashMismatch:
      return {"data hash does not match the asset content", {}};
    case ErrorKind::UnsupportedAlgorithm:
      return {"unsupported hash algorithm: ", {}};
  }
  return {"unknown error", {}};
}

}  // namespace

std::string Error::message() const {
  const Template t = message_template(kind_);
  std::string out(t.head);
  switch (kind_) {
    case ErrorKind::PayloadTooLarge:
    case ErrorKind::PaddingGap: {
      char digits[24];
      const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, size_);
      (void)ec;  // 24 bytes always hold a 64-bit decimal
      out.append(digits, end);
      break;
    }
    case ErrorKind::UnsupportedAlgorithm:
      out.append(name_);
      break;
    case ErrorKind::NotFound:
    case ErrorKind::CorruptedWrapper:
    case ErrorKind::MultipleWrappers:
    case ErrorKind::ExclusionMalformed:
    case ErrorKind::HashMismatch:
      break;
  }
  out.append(t.tail);
  return out;
}

std::optional<std::string_view> Error::status_code() const noexcept {
  switch (kind_) {
    case ErrorKind::NotFound:
    case ErrorKind::PayloadTooLarge:
    case ErrorKind::PaddingGap:
      return std::nullopt;
    case ErrorKind::CorruptedWrapper:
      return "manifest.text.corruptedWrapper";
    case ErrorKind::MultipleWrappers:
      return "manifest.text.multipleWrappers";
    case ErrorKind::ExclusionMalformed:
      return "assertion.dataHash.malformed";
    case ErrorKind::HashMismatch:
      return "assertion.dataHash.mismatch";
    case ErrorKind::UnsupportedAlgorithm:
      return "algorithm.unsupported";
  }
  return std::nullopt;
}

std::string Error::text() const { return with_status_code(message(), status_code()); }

std::string with_status_code(std::string_view message, std::optional<std::string_view> code) {
  std::string out(message);
  if (code) {
    out += " [";
    out += *code;
    out += ']';
  }
  return out;
}

std::string_view kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::NotFound:
      return "NotFound";
    case ErrorKind::CorruptedWrapper:
      return "CorruptedWrapper";
    case ErrorKind::MultipleWrappers:
      return "MultipleWrappers";
    case ErrorKind::PayloadTooLarge:
      return "PayloadTooLarge";
    case ErrorKind::PaddingGap:
      return "PaddingGap";
    case ErrorKind::ExclusionMalformed:
      return "ExclusionMalformed";
    case ErrorKind::HashMismatch:
      return "HashMismatch";
    case ErrorKind::UnsupportedAlgorithm:
      return "UnsupportedAlgorithm";
  }
  return "?";
}

}  // namespace quorvane
