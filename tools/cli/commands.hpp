// The subcommands of `quorvane`. Each reads its inputs in full, computes
// its whole output in memory and returns it; nothing is written before the
// command has succeeded, so a failure leaves no partial output behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io.hpp"

namespace quorvane::cli {

// The parsed command line. Paths are "-" for standard input or output.
struct Options {
  std::string input = "-";
  std::string output = "-";
  std::string manifest;
  std::string binding;  // verify: a binding file; empty when not given
  std::string hash;     // verify: the digest in base64
  bool hash_given = false;
  std::vector<std::string> exclusions;  // verify: "START:LENGTH" each
  std::string alg = "sha256";
  std::uint64_t max_input = kDefaultInputLimit;  // bytes read from any one input
  bool padded = false;
  bool nfc = false;
  bool replace = false;
  bool json = false;
  bool strict_padding = false;
  std::string rules = "2.4";  // extract, locate, hash, verify: "2.4" or "2.5"
  bool explain = false;       // verify: the diagnosis of a failure in words
};

// A command's successful result.
struct Emit {
  Emit(std::string data_, bool to_stdout_ = false, std::optional<std::string> file_ = std::nullopt)
      : data(std::move(data_)), to_stdout(to_stdout_), file(std::move(file_)) {}

  std::string data;
  bool to_stdout = false;  // goes to standard output even when -o names a file
  // With to_stdout: the content of the -o file, published only once `data`
  // is written.
  std::optional<std::string> file;
  // When set, the output is what this writes, and `data` is unused.
  Producer stream;
};

// encode: the wrapper alone (padded with --padded).
Outcome<Emit> encode_command(const Options& o);
// embed: the input text (NFC with --nfc, without its wrappers with
// --replace) followed by the wrapper. A text that already carries a valid
// wrapper is refused without --replace (exit 2).
Outcome<Emit> embed_command(const Options& o);
// extract: the payload bytes; with --json a document with version, start,
// length, manifest_length and manifest_sha256 on standard output (the
// payload then goes to -o only if given, as Emit::file).
Outcome<Emit> extract_command(const Options& o);
// locate: every wrapper and every damaged candidate, as lines or JSON.
Outcome<Emit> locate_command(const Options& o);
// strip: the text without its single wrapper.
Outcome<Emit> strip_command(const Options& o);
// hash: the binding as {"alg", "hash" (base64), "exclusions"}.
Outcome<Emit> hash_command(const Options& o);
// verify: checks a binding from --binding, or from --hash, --exclusion and
// --alg; with --strict-padding the wrapper must also be exactly the
// unpadded or the padded encoding of its payload.
Outcome<Emit> verify_command(const Options& o);

// The JSON document that reports a C2PA failure under --json:
// {"error": {"message", "code"}}, with "valid": false first for verify.
std::string failure_document(const Failure& failure, bool verify);

}  // namespace quorvane::cli
