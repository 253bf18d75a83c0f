// BuiltinCrypto: SHA-256, SHA-384 and SHA-512 from libcrypto.
#include <quorvane/hardbinding/provided.hpp>

// The SHA-2 functions of libcrypto that take a context of our own are
// deprecated in OpenSSL 3 in favour of EVP, but present and exact. They are
// used on purpose: no algorithm fetch on each call, and linked statically
// they pull in a few kilobytes instead of the provider machinery.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace quorvane::hardbinding::provided {

// ---- SHA-2 ----------------------------------------------------------------

static_assert(sizeof(SHA256_CTX) <= 256 && sizeof(SHA512_CTX) <= 256);
static_assert(alignof(SHA256_CTX) <= 16 && alignof(SHA512_CTX) <= 16);

namespace {
SHA256_CTX* ctx256(unsigned char* state) noexcept { return reinterpret_cast<SHA256_CTX*>(state); }
SHA512_CTX* ctx512(unsigned char* state) noexcept { return reinterpret_cast<SHA512_CTX*>(state); }
}  // namespace

// The state is left to the Init function, which sets all of its context:
// zeroing all 256 bytes first was a good part of a short digest's setup.
BuiltinCrypto::Stream::Stream(Algorithm alg) noexcept : alg_(alg) {
  switch (alg_.value()) {
    case Algorithm::Sha256:
      SHA256_Init(ctx256(state_));
      break;
    case Algorithm::Sha384:
      SHA384_Init(ctx512(state_));
      break;
    case Algorithm::Sha512:
      SHA512_Init(ctx512(state_));
      break;
  }
}

void BuiltinCrypto::Stream::write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  switch (alg_.value()) {
    case Algorithm::Sha256:
      SHA256_Update(ctx256(state_), bytes.data(), bytes.size());
      break;
    case Algorithm::Sha384:
      SHA384_Update(ctx512(state_), bytes.data(), bytes.size());
      break;
    case Algorithm::Sha512:
      SHA512_Update(ctx512(state_), bytes.data(), bytes.size());
      break;
  }
}

std::vector<std::uint8_t> BuiltinCrypto::Stream::finish() {
  // The digest is written to the stack and copied at its fixed length: a
  // vector of the length, zero-filled and then overwritten, costs a string
  // store whose start-up outweighs the digest's copy.
  unsigned char md[SHA512_DIGEST_LENGTH];
  switch (alg_.value()) {
    case Algorithm::Sha256:
      SHA256_Final(md, ctx256(state_));
      return {md, md + SHA256_DIGEST_LENGTH};
    case Algorithm::Sha384:
      SHA384_Final(md, ctx512(state_));
      return {md, md + SHA384_DIGEST_LENGTH};
    case Algorithm::Sha512:
      SHA512_Final(md, ctx512(state_));
      return {md, md + SHA512_DIGEST_LENGTH};
  }
  return {};
}

std::vector<std::uint8_t> BuiltinCrypto::digest(Algorithm alg,
                                                std::span<const std::uint8_t> data) const {
  Stream stream(alg);
  stream.write(data);
  return stream.finish();
}

}  // namespace quorvane::hardbinding::provided
