// compute_data_hash -> verify_data_hash over a host text that carries a
// wrapper: verification of the computed binding succeeds; a changed ASCII
// byte outside the wrapper gives HashMismatch; a character inserted or
// removed in front of it gives ExclusionMalformed; any other edit, and any
// binding made up from the input, gets the result of a step-by-step
// reference verifier. Never success where the hashed bytes changed.
#include "fuzz_support.hpp"

using namespace quorvane;
using fuzz::ByteVec;
using hardbinding::Algorithm;
using hardbinding::DataHash;
using hardbinding::Exclusion;
using hardbinding::provided::BuiltinCrypto;
using hardbinding::provided::StreamedDataHash;
using hardbinding::provided::UnicodeNfc;

namespace {

constexpr Algorithm kAlgs[] = {Algorithm::Sha256, Algorithm::Sha384, Algorithm::Sha512};
constexpr const char* kNames[] = {"sha256", "sha384", "sha512", "SHA256", "", "sha3-256", "sha51"};

// `text` handed to `hash` as the module hands over a str: `chunk` code
// points at a time, an all-ASCII chunk as its bytes, any other as its code
// points, each written where room() says.
void feed_chunks(StreamedDataHash& hash, std::string_view text, std::size_t chunk) {
  const auto cps = testing::code_points(text);
  for (std::size_t at = 0; at < cps.size(); at += chunk) {
    const std::size_t n = std::min(chunk, cps.size() - at);
    std::u32string code_points;
    bool ascii = true;
    for (std::size_t k = at; k < at + n; ++k) {
      code_points.push_back(cps[k].cp);
      ascii &= cps[k].cp < 0x80;
    }
    char* out = hash.room(4 * n);
    if (ascii) {
      for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<char>(code_points[k]);
      hash.add_ascii(n);
    } else {
      FUZZ_CHECK(hash.add(code_points));
    }
  }
}

std::optional<ErrorKind> verify(std::string_view text, const DataHash& binding, std::size_t chunk) {
  const fuzz::HeapCopy copy(text);
  const auto whole = fuzz::kind_of(
      hardbinding::verify_data_hash(copy.view(), binding, BuiltinCrypto{}, UnicodeNfc{}));
  // The same text handed over in order: a prefix that holds no U+FEFF and
  // ends at or before the first exclusion, then the rest. Same result.
  const auto alg = Algorithm::from_id(binding.alg);
  if (!alg) return whole;
  std::uint64_t limit = std::min(text.find("\xEF\xBB\xBF"), text.size());
  if (!binding.exclusions.empty()) limit = std::min(limit, binding.exclusions[0].start);
  std::vector<std::size_t> cuts{0};
  for (const auto& c : testing::code_points(text)) {
    if (c.offset + c.width <= limit) cuts.push_back(c.offset + c.width);
  }
  for (const std::size_t split : {cuts.back(), cuts[cuts.size() / 2]}) {
    auto stream = BuiltinCrypto{}.begin(*alg);
    auto writer = UnicodeNfc{}.writer(stream);
    writer.feed(text.substr(0, split));
    const fuzz::HeapCopy rest(text.substr(split));
    FUZZ_CHECK(fuzz::kind_of(hardbinding::finish_verify_data_hash(split, rest.view(), binding,
                                                                  stream, writer)) == whole);
  }
  // And as the module hands it over, a chunk at a time.
  StreamedDataHash streamed(binding, *alg, testing::code_points(text).size());
  feed_chunks(streamed, text, chunk);
  FUZZ_CHECK(fuzz::kind_of(streamed.finish_verify(binding)) == whole);
  return whole;
}

// Byte offsets of the code points of `text` that lie wholly outside [lo, hi).
std::vector<testing::CodePoint> outside(std::string_view text, std::uint64_t lo, std::uint64_t hi) {
  std::vector<testing::CodePoint> out;
  for (const auto& c : testing::code_points(text)) {
    if (c.offset + c.width <= lo || c.offset >= hi) out.push_back(c);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t shape = in.byte();
  const Algorithm alg = kAlgs[shape % 3];
  const std::string prefix = fuzz::text_from(in, in.byte() % 12);
  const ByteVec payload = in.take(in.byte() % 48);
  const bool padded = (shape & 4) != 0;
  const std::string suffix = fuzz::text_from(in, in.byte() % 12);
  const wrapper::Bytes p(payload.data(), payload.size());
  const std::string wrapped = padded ? *wrapper::encode_padded(p) : *wrapper::encode(p);
  const std::string text = prefix + wrapped + suffix;

  const fuzz::HeapCopy copy(text);
  const Result<DataHash> computed =
      hardbinding::compute_data_hash(copy.view(), alg, BuiltinCrypto{}, UnicodeNfc{});
  // The same text handed over in order, as the module hands over a str, in
  // chunks of any size: same binding, same error.
  const std::size_t chunk = 1 + in.byte() % 12;
  {
    StreamedDataHash hash(alg, testing::code_points(text).size());
    feed_chunks(hash, text, chunk);
    const Result<DataHash> streamed = hash.finish_compute();
    FUZZ_CHECK(streamed.has_value() == computed.has_value());
    if (computed) FUZZ_CHECK(*streamed == *computed);
    if (!computed) FUZZ_CHECK(streamed.error().kind() == computed.error().kind());
  }

  const auto located = testing::ref_locate_all(text);
  if (located.size() != 1) {
    FUZZ_CHECK(!computed.has_value());
    FUZZ_CHECK(computed.error().kind() == testing::ref_extract_error(text));
    return 0;
  }
  FUZZ_CHECK(computed.has_value());
  const wrapper::Wrapper& w = located[0];
  const Exclusion range{w.start, w.length};
  FUZZ_CHECK(computed->exclusions == std::vector<Exclusion>{range});
  FUZZ_CHECK(computed->alg == alg.id());
  const std::string kept = *fuzz::ref_kept(text, computed->exclusions);
  FUZZ_CHECK(computed->hash == BuiltinCrypto{}.digest(alg, wrapper::as_bytes(fuzz::ref_nfc(kept))));

  // The computed binding verifies; the same digest under another name, or
  // with a byte less or more, does not.
  FUZZ_CHECK(verify(text, *computed, chunk) == std::nullopt);
  for (const Algorithm other : kAlgs) {
    if (other == alg) continue;
    DataHash renamed = *computed;
    renamed.alg = std::string(other.id());
    FUZZ_CHECK(verify(text, renamed, chunk) == ErrorKind::HashMismatch);
  }
  {
    DataHash shorter = *computed;
    shorter.hash.pop_back();
    FUZZ_CHECK(verify(text, shorter, chunk) == ErrorKind::HashMismatch);
    DataHash longer = *computed;
    longer.hash.push_back(in.byte());
    FUZZ_CHECK(verify(text, longer, chunk) == ErrorKind::HashMismatch);
    DataHash none = *computed;
    none.exclusions.clear();
    FUZZ_CHECK(verify(text, none, chunk) == ErrorKind::ExclusionMalformed);
  }

  const auto chars = outside(text, w.start, w.start + w.length);

  // One ASCII byte outside the wrapper changed into another ASCII byte.
  {
    std::vector<std::size_t> ascii;
    for (const auto& c : chars) {
      if (c.cp < 0x80) ascii.push_back(c.offset);
    }
    if (!ascii.empty()) {
      std::string changed = text;
      const std::size_t at = ascii[in.byte() % ascii.size()];
      changed[at] = static_cast<char>((changed[at] + 1 + in.byte() % 127) % 128);
      FUZZ_CHECK(changed != text);
      FUZZ_CHECK(verify(changed, *computed, chunk) == ErrorKind::HashMismatch);
    }
  }

  // One character inserted in front of the wrapper, or one removed there.
  {
    std::string inserted = text;
    std::string token;
    fuzz::Input more(data, size);  // any valid character will do
    while (token.empty() && !more.empty()) fuzz::append_token(more, token);
    if (token.empty()) token = "x";
    const std::size_t at =
        prefix.empty()
            ? 0
            : testing::code_points(prefix)[in.byte() % testing::code_points(prefix).size()].offset;
    inserted.insert(at, token);
    const auto now = testing::ref_locate_all(inserted);
    const auto got = verify(inserted, *computed, chunk);
    if (now.size() >= 2) {
      FUZZ_CHECK(got == ErrorKind::MultipleWrappers);
    } else {
      FUZZ_CHECK(got == ErrorKind::ExclusionMalformed);
    }
    if (!prefix.empty()) {
      const auto cps = testing::code_points(prefix);
      const auto& c = cps[in.byte() % cps.size()];
      std::string removed = text;
      removed.erase(c.offset, c.width);
      const auto left = testing::ref_locate_all(removed);
      const auto res = verify(removed, *computed, chunk);
      FUZZ_CHECK(res.has_value());
      FUZZ_CHECK(res == fuzz::ref_verify(removed, *computed));
      if (left.size() == 1) FUZZ_CHECK(res == ErrorKind::ExclusionMalformed);
    }
  }

  // Any character outside the wrapper replaced by any token: the reference
  // decides, and success only where the hashed bytes stayed equal.
  if (!chars.empty()) {
    const auto& c = chars[in.byte() % chars.size()];
    std::string edited = text;
    std::string token;
    fuzz::append_token(in, token);
    edited.replace(c.offset, c.width, token);
    const auto got = verify(edited, *computed, chunk);
    FUZZ_CHECK(got == fuzz::ref_verify(edited, *computed));
  }

  // A binding made up from the input, the wrapper's range somewhere in it.
  {
    DataHash made;
    made.alg = kNames[in.byte() % std::size(kNames)];
    const std::size_t count = in.byte() % 5;
    for (std::size_t i = 0; i < count; ++i) {
      made.exclusions.push_back(
          {fuzz::offset_from(in, text.size()), fuzz::offset_from(in, text.size())});
    }
    if (in.byte() % 4 != 0) {
      made.exclusions.insert(made.exclusions.begin() + in.byte() % (made.exclusions.size() + 1),
                             range);
    }
    made.hash = in.byte() % 2 == 0 ? computed->hash : in.take(in.byte() % 70);
    FUZZ_CHECK(verify(text, made, chunk) == fuzz::ref_verify(text, made));
  }
  return 0;
}
