// UnicodeNfc's whole-text operations, over the NFC writer.
#include <cstring>
#include <quorvane/hardbinding/provided.hpp>

#include "provided/nfc.hpp"
#include "provided/nfc_data.hpp"

namespace quorvane::hardbinding::provided {
namespace {

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

std::string nfc_normalize(std::string_view text, std::size_t piece, bool with_code_points) {
  std::string out;
  out.reserve(text.size());
  StringSink sink(out);
  nfc_normalize_to(std::span<const std::string_view>(&text, 1), sink, piece, with_code_points);
  return out;
}

std::string UnicodeNfc::normalize(std::string_view text) const { return nfc_normalize(text); }

void UnicodeNfc::normalize_to(std::span<const std::string_view> pieces, ByteSink& sink) const {
  nfc_normalize_to(pieces, sink);
}

bool UnicodeNfc::is_normalized(std::string_view text) const {
  if (all_trivial(text)) return true;
  CompareSink sink(text);
  nfc_normalize_to(std::span<const std::string_view>(&text, 1), sink);
  return sink.same();
}

std::string UnicodeNfc::normalize_owned(std::string&& text) const {
  if (all_trivial(text)) return std::move(text);
  return nfc_normalize(text);
}

}  // namespace quorvane::hardbinding::provided