#include <quorvane/hardbinding.hpp>

namespace quorvane::hardbinding {

Result<Algorithm> Algorithm::from_id(std::string_view id) {
  if (id == "sha256") return Algorithm(Sha256);
  if (id == "sha384") return Algorithm(Sha384);
  if (id == "sha512") return Algorithm(Sha512);
  return std::unexpected(Error::unsupported_algorithm(id));
}

}  // namespace quorvane::hardbinding
