// Uses the installed package the way a C++ producer and validator would:
// embed a store, read it back, bind the text, verify it, catch an edit.
#include <cstdio>
#include <string>
#include <vector>

#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/wrapper.hpp>

namespace qv = quorvane;
namespace hb = quorvane::hardbinding;

int fail(const char* step, const std::string& why) {
  std::fprintf(stderr, "consumer: %s: %s\n", step, why.c_str());
  return 1;
}

int main() {
  const std::string text = "Provenance travels with the words. Herkunft reist mit den Wörtern. 出自。";
  const std::vector<std::uint8_t> store = {0x00, 0x0F, 0x10, 0xEF, 0xBB, 0xBF, 'c', '2', 'p', 'a'};

  auto wrapped = qv::wrapper::encode_padded(store);
  if (!wrapped) return fail("encode_padded", wrapped.error().message());
  const std::string signed_text = text + *wrapped;

  auto found = qv::wrapper::extract(signed_text);
  if (!found) return fail("extract", found.error().message());
  if (found->payload != store || found->start != text.size() ||
      found->length != qv::wrapper::target_length(store.size())) {
    return fail("extract", "wrong wrapper read back");
  }

  const hb::provided::BuiltinCrypto crypto;
  const hb::provided::UnicodeNfc nfc;
  auto binding = hb::compute_data_hash(signed_text, hb::Algorithm::Sha384, crypto, nfc);
  if (!binding) return fail("compute_data_hash", binding.error().message());
  if (binding->hash.size() != 48 || binding->exclusions.size() != 1 ||
      binding->exclusions[0].start != found->start) {
    return fail("compute_data_hash", "unexpected binding");
  }
  if (auto ok = hb::verify_data_hash(signed_text, *binding, crypto, nfc); !ok) {
    return fail("verify_data_hash", ok.error().message());
  }

  std::string edited = signed_text;
  edited[0] = 'p';
  auto caught = hb::verify_data_hash(edited, *binding, crypto, nfc);
  if (caught || caught.error().kind() != qv::ErrorKind::HashMismatch) {
    return fail("verify_data_hash", "an edited text was not reported as a mismatch");
  }

  std::printf("consumer: embedded %zu bytes at byte %llu, %s binding verified, edit caught: %s [%s]\n",
              store.size(), static_cast<unsigned long long>(found->start), binding->alg.c_str(),
              caught.error().message().c_str(), std::string(*caught.error().status_code()).c_str());
  return 0;
}
