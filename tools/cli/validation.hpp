// What `quorvane` tells a validator beyond the verdict: the reading rules
// (--rules), the diagnosis of a failed check (--explain, --json) and the
// verdict as C2PA status entries (validationResults).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <quorvane/diagnosis.hpp>
#include <quorvane/hardbinding.hpp>
#include <quorvane/rules.hpp>
#include <string>
#include <string_view>

#include "io.hpp"

namespace quorvane::cli {

// Exit status under --rules 2.5 when no manifest is located: no wrapper,
// several valid wrappers, or only damaged candidates.
inline constexpr int kExitNoManifest = 3;

// The code of our own in validationResults for a wrapper that fails
// --strict-padding (the check has no C2PA code).
inline constexpr std::string_view kStrictPaddingCode = "quorvane.wrapper.paddingNotCanonical";

// "2.4" or "2.5" as given to --rules (CLI11 has checked it).
wrapper::Rules rules_of(const std::string& id) noexcept;

// The failure for an extraction error `error` of `text` under `rules`:
// under 2.5, one that means no manifest was located is
// "no manifest located (<why>)" with exit 3; anything else is core_error.
std::unexpected<Failure> read_error(const Error& error, std::string_view text,
                                    wrapper::Rules rules);

// Why no manifest is located in `text`: "no C2PA text manifest wrapper
// found", "N valid wrappers, read as none under the 2.5 rules", "only
// damaged wrapper candidates, read as none under the 2.5 rules".
std::string no_manifest_reason(std::string_view text);

// The failure of `verify` for the error `error` of verify_data_hash(text,
// binding) under `rules`, with the diagnosis when `diagnose` is set: its
// finding for --json and, with `explain`, its words as a note under the
// message.
Failure verify_failure(std::string_view text, const hardbinding::DataHash& binding,
                       const Error& error, wrapper::Rules rules, bool diagnose, bool explain);

// {"success": [...], "informational": [...], "failure": [...]}, entries
// {"code", "explanation"}: assertion.dataHash.match on success; otherwise
// the failure's status code (or kStrictPaddingCode), and its finding as an
// informational entry.
nlohmann::ordered_json validation_results(const Failure* failure);

// The finding as a JSON object: code, start, length, content_intact,
// detail, and the fields of its kind.
nlohmann::ordered_json finding_json(const hardbinding::Finding& finding);

// What `locate --rules 2.5` adds to its report: a last line, or JSON
// members to close the object with.
std::string located_line(std::string_view text, wrapper::Rules rules);
std::string located_json(std::string_view text, wrapper::Rules rules);

}  // namespace quorvane::cli
