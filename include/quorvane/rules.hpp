// The reading rules a validator applies when a text does not carry exactly
// one valid wrapper.
//
// Rules::V2_4 (the default everywhere) reports two or more valid wrappers
// as MultipleWrappers ("manifest.text.multipleWrappers") and a text whose
// only candidates are damaged as CorruptedWrapper
// ("manifest.text.corruptedWrapper"). Rules::V2_5 reads both as if no
// manifest were located: NotFound, which carries no status code, so no
// manifest.text.* code is ever reported. Everything else (what a candidate
// is, which candidates are valid, the data hash) is the same under both.
#pragma once

#include <cstdint>
#include <optional>
#include <quorvane/error.hpp>
#include <quorvane/hardbinding.hpp>
#include <quorvane/wrapper.hpp>
#include <string_view>
#include <utility>

namespace quorvane::wrapper {

enum class Rules : std::uint8_t { V2_4 = 0, V2_5 = 1 };

// "2.4" or "2.5"; nullopt for anything else.
constexpr std::optional<Rules> rules_from_id(std::string_view id) noexcept {
  if (id == "2.4") return Rules::V2_4;
  if (id == "2.5") return Rules::V2_5;
  return std::nullopt;
}

constexpr std::string_view rules_id(Rules rules) noexcept {
  return rules == Rules::V2_5 ? "2.5" : "2.4";
}

// True when `kind` means, under `rules`, that no manifest was located:
// NotFound under both; also MultipleWrappers and CorruptedWrapper under
// V2_5.
constexpr bool no_manifest_located(ErrorKind kind, Rules rules) noexcept {
  return kind == ErrorKind::NotFound ||
         (rules == Rules::V2_5 &&
          (kind == ErrorKind::MultipleWrappers || kind == ErrorKind::CorruptedWrapper));
}

// An error of the V2_4 reading as `rules` report it: under V2_5,
// MultipleWrappers and CorruptedWrapper become NotFound; every other error
// is passed on unchanged.
inline Error under_rules(Error error, Rules rules) {
  if (error.kind() != ErrorKind::NotFound && no_manifest_located(error.kind(), rules)) {
    return Error::not_found();
  }
  return error;
}

template <class T>
Result<T> under_rules(Result<T>&& result, Rules rules) {
  if (result) return std::move(result);
  return std::unexpected(under_rules(std::move(result.error()), rules));
}

// extract and extract_range under `rules`.
// Errors: as extract under V2_4; NotFound alone under V2_5.
inline Result<Wrapper> extract(std::string_view text, Rules rules) {
  return under_rules(extract(text), rules);
}
inline Result<Range> extract_range(std::string_view text, Rules rules) {
  return under_rules(extract_range(text), rules);
}

}  // namespace quorvane::wrapper

namespace quorvane::hardbinding {

using wrapper::Rules;

// compute_data_hash and verify_data_hash under `rules`: the same checks in
// the same order; the extraction's error as `rules` report it.
template <Hasher H, Normalizer N>
Result<DataHash> compute_data_hash(std::string_view text, Algorithm alg, const H& hasher,
                                   const N& normalizer, Rules rules) {
  return wrapper::under_rules(compute_data_hash(text, alg, hasher, normalizer), rules);
}

template <Hasher H, Normalizer N>
Status verify_data_hash(std::string_view text, const DataHash& binding, const H& hasher,
                        const N& normalizer, Rules rules) {
  return wrapper::under_rules(verify_data_hash(text, binding, hasher, normalizer), rules);
}

}  // namespace quorvane::hardbinding
