#include "scan.hpp"

#include "io.hpp"

namespace quorvane::cli {

using wrapper::Defect;

std::string_view reason(Defect defect) noexcept {
  switch (defect) {
    case Defect::None:
    case Defect::NoRun:
      return "";
    case Defect::ShortHeader:
      return "header too short";
    case Defect::WrongMagic:
      return "wrong magic";
    case Defect::WrongVersion:
      return "unsupported version";
    case Defect::LengthOverrun:
      return "length overrun";
    case Defect::MarkerMissing:
      return "marker missing";
  }
  return "";
}

std::string detail(const wrapper::Candidate& c) {
  switch (c.defect) {
    case Defect::None:
    case Defect::NoRun:
    case Defect::WrongMagic:
      return "";
    case Defect::ShortHeader:
      return decimal(c.decoded) + " of 13 header bytes";
    case Defect::WrongVersion:
      return "version " + decimal(c.version);
    case Defect::LengthOverrun:
      return "manifestLength " + decimal(c.manifest_length) + ", " +
             decimal(c.decoded - wrapper::HEADER_SIZE) + " bytes behind the header";
    case Defect::MarkerMissing:
      return "no U+FEFF in front of the selector run";
  }
  return "";
}

}  // namespace quorvane::cli
