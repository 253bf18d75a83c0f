#include "validation.hpp"

#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/wrapper.hpp>

namespace quorvane::cli {
namespace {

using json = nlohmann::ordered_json;
using hardbinding::Finding;
using hardbinding::FindingKind;

json entry(std::string_view code, std::string_view explanation) {
  return {{"code", code}, {"explanation", explanation}};
}

std::string_view form_name(hardbinding::PrefixForm form) noexcept {
  switch (form) {
    case hardbinding::PrefixForm::NoLongerNfc:
      return "no longer NFC";
    case hardbinding::PrefixForm::NowNfc:
      return "now NFC";
    case hardbinding::PrefixForm::Unknown:
      break;
  }
  return "unknown";
}

}  // namespace

wrapper::Rules rules_of(const std::string& id) noexcept {
  return wrapper::rules_from_id(id).value_or(wrapper::Rules::V2_4);
}

std::string no_manifest_reason(std::string_view text) {
  std::uint64_t valid = 0;
  bool damaged = false;
  wrapper::CandidateScanner scanner(text, /*orphans=*/false,
                                    wrapper::CandidateScanner::Keep::Header);
  while (const auto c = scanner.next()) {
    if (c->defect == wrapper::Defect::None) ++valid;
    damaged = damaged || (c->defect != wrapper::Defect::None && c->magic);
  }
  if (valid >= 2) return decimal(valid) + " valid wrappers, read as none under the 2.5 rules";
  if (damaged) return "only damaged wrapper candidates, read as none under the 2.5 rules";
  return Error::not_found().message();
}

std::unexpected<Failure> read_error(const Error& error, std::string_view text,
                                    wrapper::Rules rules) {
  if (rules != wrapper::Rules::V2_5 || !wrapper::no_manifest_located(error.kind(), rules)) {
    return core_error(error);
  }
  Failure f;
  f.status = kExitNoManifest;
  f.message = "no manifest located (" + no_manifest_reason(text) + ")";
  return std::unexpected(std::move(f));
}

Failure verify_failure(std::string_view text, const hardbinding::DataHash& binding,
                       const Error& error, wrapper::Rules rules, bool diagnose, bool explain) {
  Failure f = read_error(error, text, rules).error();
  if (!diagnose) return f;
  f.finding = hardbinding::diagnose(text, binding, error, hardbinding::provided::BuiltinCrypto{},
                                    hardbinding::provided::UnicodeNfc{});
  if (explain && f.finding) {
    f.notes.push_back("why: " + f.finding->detail + " [" +
                      std::string(hardbinding::finding_code(f.finding->kind)) + "]");
  }
  return f;
}

json validation_results(const Failure* failure) {
  json out = {
      {"success", json::array()}, {"informational", json::array()}, {"failure", json::array()}};
  if (failure == nullptr) {
    out["success"].push_back(
        entry("assertion.dataHash.match", "data hash matches the asset content"));
    return out;
  }
  if (failure->finding) {
    out["informational"].push_back(
        entry(hardbinding::finding_code(failure->finding->kind), failure->finding->detail));
  }
  if (failure->code) {
    out["failure"].push_back(entry(*failure->code, failure->message));
  } else if (failure->own_code) {
    out["failure"].push_back(entry(*failure->own_code, failure->message));
  }
  return out;
}

json finding_json(const Finding& f) {
  json out = {{"code", hardbinding::finding_code(f.kind)},
              {"start", f.start},
              {"length", f.length},
              {"content_intact", f.content_intact}};
  switch (f.kind) {
    case FindingKind::WrapperMoved:
      out["bound_start"] = f.bound_start;
      out["moved"] = f.moved;
      out["text_before"] = form_name(f.form);
      break;
    case FindingKind::LineEnds:
      out["converted"] =
          f.line_ends == hardbinding::LineEndChange::CrlfToLf ? "CRLF to LF" : "LF to CRLF";
      out["count"] = f.count;
      break;
    case FindingKind::ContentChanged:
      out["first_difference"] = f.first_difference ? json(*f.first_difference) : json(nullptr);
      break;
    default:
      break;
  }
  out["detail"] = f.detail;
  return out;
}

std::string located_line(std::string_view text, wrapper::Rules rules) {
  if (rules != wrapper::Rules::V2_5) return {};
  const auto found = wrapper::extract_range(text, rules);
  if (found) return "under the 2.5 rules: manifest located at byte " + decimal(found->start) + "\n";
  return "under the 2.5 rules: no manifest located (" + no_manifest_reason(text) + ")\n";
}

std::string located_json(std::string_view text, wrapper::Rules rules) {
  if (rules != wrapper::Rules::V2_5) return {};
  const auto found = wrapper::extract_range(text, rules);
  json doc = {{"rules", "2.5"}, {"manifest_located", found.has_value()}};
  if (found) {
    doc["manifest_start"] = found->start;
  } else {
    doc["reason"] = no_manifest_reason(text);
  }
  // The members alone, to close the report's object with.
  const std::string members = doc.dump();
  return "," + members.substr(1, members.size() - 2);
}

}  // namespace quorvane::cli
