// quorvane: C2PA text manifest wrappers and the c2pa.hash.data binding from
// the shell. Parses the command line, runs one subcommand and maps its
// outcome to the exit status.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <new>
#include <quorvane/hardbinding/provided.hpp>
#include <sstream>
#include <string>

#include "commands.hpp"
#include "validation.hpp"

#ifndef QUORVANE_VERSION
#error "QUORVANE_VERSION must be defined by the build"
#endif

namespace quorvane::cli {
namespace {

constexpr const char* kHelpHint = "Run with --help for more information.";

constexpr const char* kExitStatus =
    "Exit status: 0 success; 1 a C2PA check failed (the message ends in its\n"
    "status code); 2 a usage, input or output error; 3 no manifest located under\n"
    "--rules 2.5. Offsets and lengths are bytes of UTF-8. INPUT is a file, or\n"
    "standard input when it is - or left out.\n";

// Writes without allocating, so that running out of memory can be reported.
void to_stderr(std::string_view text) noexcept {
  // Nothing sensible remains to be done when standard error is gone.
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
}

void say(std::string_view line) noexcept {
  to_stderr("quorvane: ");
  to_stderr(line);
  to_stderr("\n");
}

int report(const Failure& f) {
  say(f.display());
  for (const std::string& note : f.notes) say(note);
  if (f.usage) {
    to_stderr(kHelpHint);
    to_stderr("\n");
  }
  return f.status;
}

using Command = Outcome<Emit> (*)(const Options&);

int execute(Command command, const Options& o, bool verify, bool extract) {
  auto result = command(o);
  if (!result) {
    const Failure& f = result.error();
    report(f);
    if (o.json && (f.status == kExitC2pa || f.status == kExitNoManifest)) {
      if (auto w = write_output(extract ? "-" : o.output, failure_document(f, verify)); !w) {
        report(w.error());
      }
    }
    return f.status;
  }
  if (result->file) {
    // The -o file is written first but published only after standard
    // output, so a failed write there leaves no file behind.
    auto staged = stage_output(o.output, *result->file);
    if (!staged) return report(staged.error());
    if (auto w = write_output("-", result->data); !w) return report(w.error());
    if (auto p = staged->publish(); !p) return report(p.error());
    return 0;
  }
  const Output out = result->stream ? Output(&result->stream) : Output(result->data);
  if (auto w = write_output(result->to_stdout ? "-" : o.output, out); !w) return report(w.error());
  return 0;
}

CLI::App* subcommand(CLI::App& app, const char* name, const char* about, const char* example) {
  CLI::App* sub = app.add_subcommand(name, about);
  sub->footer(std::string("Example:\n  ") + example + "\n\n" + kExitStatus);
  return sub;
}

void add_input(CLI::App* sub, Options& o) {
  sub->add_option("INPUT", o.input, "Input text file, or - for standard input (the default)");
}

// --manifest FILE (required) and --padded, shared by encode and embed.
void add_manifest(CLI::App* sub, Options& o) {
  sub->add_option("--manifest", o.manifest, "The manifest store (binary), or - for standard input")
      ->required();
  sub->add_flag("--padded", o.padded, "Pad the wrapper to 4n + 61 bytes for an n-byte store");
}

// "N" or "N<unit>", N decimal: k, M, G, T are powers of 1000, KiB, MiB,
// GiB, TiB of 1024 (any case, "B" optional). Rewrites `text` to the number
// of bytes; returns why it is not a size, or "" when it is.
std::string parse_size(std::string& text) {
  std::uint64_t n = 0;
  const char* end = text.data() + text.size();
  const auto [rest, ec] = std::from_chars(text.data(), end, n);
  const std::string why = "expected a number of bytes, optionally with a unit (4GiB): " + text;
  if (ec != std::errc{} || rest == text.data()) return why;
  std::string unit(rest, end);
  std::transform(unit.begin(), unit.end(), unit.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (unit.size() > 1 && unit.back() == 'b') unit.pop_back();
  if (unit == "b") unit.clear();
  static constexpr std::string_view kPrefixes = "kmgt";
  std::uint64_t factor = 1;
  if (!unit.empty()) {
    const auto power = kPrefixes.find(unit[0]);
    const bool binary = unit.size() == 2 && unit[1] == 'i';
    if (power == std::string_view::npos || (unit.size() != 1 && !binary)) return why;
    for (std::size_t i = 0; i <= power; ++i) factor *= binary ? 1024 : 1000;
  }
  if (n > std::numeric_limits<std::uint64_t>::max() / factor) return why;
  text = std::to_string(n * factor);
  return {};
}

// -o FILE and --max-input, shared by every subcommand.
void add_output(CLI::App* sub, Options& o) {
  sub->add_option("-o,--output", o.output, "Write the result to FILE instead of standard output");
  sub->add_option("--max-input", o.max_input,
                  "Refuse any input larger than SIZE bytes (default 4GiB, the format's ceiling);\n"
                  "units k, M, G (1000s) or KiB, MiB, GiB (1024s)")
      ->transform(CLI::Validator(parse_size, ""))
      ->option_text("SIZE");
}

// --rules, shared by extract, locate, hash and verify.
void add_rules(CLI::App* sub, Options& o) {
  sub->add_option("--rules", o.rules,
                  "Reading rules: 2.4 (the default) reports several valid wrappers and only\n"
                  "damaged candidates with manifest.text.* codes; 2.5 reads both as no manifest\n"
                  "located (exit 3)")
      ->check(CLI::IsMember({"2.4", "2.5"}))
      ->option_text("2.4|2.5");
}

// Help and version text, written like any output: a failed write is an
// error (exit 2), not a success.
int print(const CLI::App& app, const CLI::Error& e) {
  std::ostringstream out, err;
  const int status = app.exit(e, out, err);
  if (auto w = write_output("-", out.str()); !w) return report(w.error());
  if (!err.str().empty()) to_stderr(err.str());
  return status;
}

int run(int argc, char** argv) {
  Options o;
  CLI::App app(
      "C2PA Manifest Stores carried in text as invisible variation selectors, and\n"
      "the c2pa.hash.data binding of such text.",
      "quorvane");
  const auto nfc = hardbinding::provided::nfc_data_version();
  app.set_version_flag("--version", std::string(QUORVANE_VERSION) + " (NFC: Unicode " +
                                        nfc.unicode + ", ICU " + nfc.icu + ")");
  app.require_subcommand(0, 1);
  app.footer(kExitStatus);

  CLI::App* encode =
      subcommand(app, "encode", "Write the wrapper for a manifest store, without a host text",
                 "quorvane encode --manifest store.c2pa --padded -o wrapper.txt");
  add_manifest(encode, o);
  add_output(encode, o);

  CLI::App* embed =
      subcommand(app, "embed", "Append the wrapper for a manifest store to a text",
                 "quorvane embed --manifest store.c2pa --padded --nfc article.txt -o signed.txt");
  add_manifest(embed, o);
  embed->add_flag("--nfc", o.nfc, "Normalise the host text to NFC first");
  embed->add_flag("--replace", o.replace,
                  "Remove the text's existing wrappers first (without it such a text is refused)");
  add_input(embed, o);
  add_output(embed, o);

  CLI::App* extract =
      subcommand(app, "extract", "Write the manifest store of the text's single wrapper",
                 "quorvane extract signed.txt -o store.c2pa\n  quorvane extract --json signed.txt");
  extract->add_flag("--json", o.json,
                    "Print {version, start, length, manifest_length, manifest_sha256} instead;\n"
                    "the store then goes to -o FILE only if given");
  add_rules(extract, o);
  add_input(extract, o);
  add_output(extract, o);

  CLI::App* locate =
      subcommand(app, "locate",
                 "List every wrapper and every damaged wrapper candidate with the reason it\n"
                 "was rejected (a U+FEFF with no variation selector behind it is not listed)",
                 "quorvane locate --json received.txt");
  locate->add_flag("--json", o.json, "Print {wrappers: [...], damaged: [...]} as JSON");
  add_rules(locate, o);
  add_input(locate, o);
  add_output(locate, o);

  CLI::App* strip = subcommand(app, "strip", "Write the text without its single wrapper",
                               "quorvane strip signed.txt -o visible.txt");
  add_input(strip, o);
  add_output(strip, o);

  CLI::App* hash =
      subcommand(app, "hash",
                 "Compute the c2pa.hash.data binding of a text that carries its wrapper:\n"
                 "{\"alg\", \"hash\" (base64), \"exclusions\": [{\"start\", \"length\"}]}",
                 "quorvane hash --alg sha384 signed.txt -o binding.json");
  hash->add_option("--alg", o.alg, "Hash algorithm (default sha256)")
      ->check(CLI::IsMember({"sha256", "sha384", "sha512"}));
  add_rules(hash, o);
  add_input(hash, o);
  add_output(hash, o);

  CLI::App* verify =
      subcommand(app, "verify", "Check a c2pa.hash.data binding against a text",
                 "quorvane verify --binding binding.json signed.txt\n"
                 "  quorvane verify --hash Ut3XTb6/jPuKvSR4QfCuJQHqDZgnr1pSGrLyU+9DEYU= "
                 "--exclusion 406:2261 signed.txt");
  CLI::Option* binding =
      verify->add_option("--binding", o.binding, "A binding file as written by `quorvane hash`");
  CLI::Option* hash_opt = verify->add_option("--hash", o.hash, "The expected digest in base64");
  CLI::Option* exclusion =
      verify
          ->add_option("--exclusion", o.exclusions,
                       "An excluded range START:LENGTH; repeat for several, in order")
          ->allow_extra_args(false);
  CLI::Option* alg =
      verify->add_option("--alg", o.alg, "Hash algorithm of --hash (default sha256)");
  hash_opt->needs(exclusion);
  exclusion->needs(hash_opt);
  alg->needs(hash_opt);
  binding->excludes(hash_opt);
  verify->add_flag("--strict-padding", o.strict_padding,
                   "Also require the wrapper's bytes behind the manifest store to be exactly\n"
                   "its padding: none, or the zeros then 0x10 bytes up to 4n + 61 bytes");
  verify->add_flag("--json", o.json,
                   "Print the result as JSON, with validationResults (C2PA status entries)\n"
                   "and, for a failure, the diagnosis as \"finding\"");
  verify->add_flag("--explain", o.explain,
                   "For a failure, also say why: the transport change that explains it, or\n"
                   "where the text changed (see docs/validating.md)");
  add_rules(verify, o);
  add_input(verify, o);
  add_output(verify, o);

  // CLI11 would report an unknown subcommand as a list of unexpected
  // arguments; name it instead.
  if (argc > 1 && argv[1][0] != '-') {
    const auto subs = app.get_subcommands([](CLI::App*) { return true; });
    const bool known = std::any_of(subs.begin(), subs.end(),
                                   [&](const CLI::App* sub) { return sub->get_name() == argv[1]; });
    if (!known)
      return report(
          Failure{kExitInput, std::string("unknown subcommand: ") + argv[1], std::nullopt, true});
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return print(app, e);
  } catch (const CLI::CallForAllHelp& e) {
    return print(app, e);
  } catch (const CLI::CallForVersion& e) {
    return print(app, e);
  } catch (const CLI::ParseError& e) {
    return report(Failure{kExitInput, e.what(), std::nullopt, true});
  }
  o.hash_given = hash_opt->count() > 0;

  if (encode->parsed()) return execute(encode_command, o, false, false);
  if (embed->parsed()) return execute(embed_command, o, false, false);
  if (extract->parsed()) return execute(extract_command, o, false, true);
  if (locate->parsed()) return execute(locate_command, o, false, false);
  if (strip->parsed()) return execute(strip_command, o, false, false);
  if (hash->parsed()) return execute(hash_command, o, false, false);
  if (verify->parsed()) return execute(verify_command, o, true, false);
  return report(Failure{
      kExitInput, "a subcommand is required: encode, embed, extract, locate, strip, hash or verify",
      std::nullopt, true});
}

}  // namespace
}  // namespace quorvane::cli

int main(int argc, char** argv) {
  try {
    return quorvane::cli::run(argc, argv);
  } catch (const std::bad_alloc&) {
    quorvane::cli::say("out of memory");
  } catch (const std::exception& e) {
    quorvane::cli::say(std::string("internal error: ") + e.what());
  }
  return quorvane::cli::kExitInput;
}
