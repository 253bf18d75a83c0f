#include "scan.hpp"

#include <algorithm>

#include "io.hpp"
#include <quorvane/vs.hpp>
#include <quorvane/wrapper.hpp>

namespace quorvane::cli {
namespace {

Candidate examine(const std::vector<std::uint8_t>& d, std::uint64_t start, std::uint64_t length) {
  using wrapper::HEADER_SIZE;
  using wrapper::MAGIC;
  Candidate c;
  c.start = start;
  c.length = length;
  c.decoded = d.size();
  c.magic = d.size() >= MAGIC.size() && std::equal(MAGIC.begin(), MAGIC.end(), d.begin());
  if (d.size() > MAGIC.size()) c.version = d[MAGIC.size()];
  if (d.size() >= HEADER_SIZE) {
    c.manifest_length = (std::uint64_t{d[9]} << 24) | (std::uint64_t{d[10]} << 16) |
                        (std::uint64_t{d[11]} << 8) | d[12];
  }
  if (d.size() < HEADER_SIZE) {
    c.defect = Defect::ShortHeader;
  } else if (!c.magic) {
    c.defect = Defect::WrongMagic;
  } else if (c.version != wrapper::VERSION) {
    c.defect = Defect::WrongVersion;
  } else if (d.size() - HEADER_SIZE < c.manifest_length) {
    c.defect = Defect::LengthOverrun;
  }
  return c;
}

}  // namespace

std::vector<Candidate> scan(std::string_view text) {
  std::vector<Candidate> out;
  std::size_t resume = 0;
  for (;;) {
    const std::size_t m = text.find(wrapper::MARKER, resume);
    if (m == std::string_view::npos) return out;
    const std::size_t after = m + wrapper::MARKER.size();
    const vs::DecodedRun run = vs::decode_run(text.substr(after));
    resume = after + run.consumed;
    if (run.consumed > 0) out.push_back(examine(run.bytes, m, resume - m));
  }
}

std::string_view reason(Defect defect) noexcept {
  switch (defect) {
    case Defect::None:
      return "";
    case Defect::ShortHeader:
      return "header too short";
    case Defect::WrongMagic:
      return "wrong magic";
    case Defect::WrongVersion:
      return "unsupported version";
    case Defect::LengthOverrun:
      return "length overrun";
  }
  return "";
}

std::string detail(const Candidate& c) {
  switch (c.defect) {
    case Defect::None:
    case Defect::WrongMagic:
      return "";
    case Defect::ShortHeader:
      return decimal(c.decoded) + " of 13 header bytes";
    case Defect::WrongVersion:
      return "version " + decimal(c.version);
    case Defect::LengthOverrun:
      return "manifestLength " + decimal(c.manifest_length) + ", " +
             decimal(c.decoded - wrapper::HEADER_SIZE) + " bytes behind the header";
  }
  return "";
}

}  // namespace quorvane::cli
