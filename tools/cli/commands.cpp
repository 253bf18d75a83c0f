#include "commands.hpp"

#include <charconv>
#include <memory>
#include <nlohmann/json.hpp>
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/wrapper.hpp>

#include "scan.hpp"

namespace quorvane::cli {
namespace {

using json = nlohmann::ordered_json;
using hardbinding::Algorithm;
using hardbinding::DataHash;
using hardbinding::Exclusion;
using hardbinding::provided::BuiltinCrypto;
using hardbinding::provided::UnicodeNfc;

std::string dump(const json& doc) {
  // A name taken from the command line may be any bytes: never fail on it.
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string as_string(std::span<const std::uint8_t> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

json exclusions_json(const std::vector<Exclusion>& exclusions) {
  json list = json::array();
  for (const Exclusion& ex : exclusions)
    list.push_back({{"start", ex.start}, {"length", ex.length}});
  return list;
}

Outcome<void> stdin_once(const std::string& a, const std::string& b, std::string_view what) {
  if (names_stdin(a) && names_stdin(b))
    return usage_error(std::string(what) + " cannot both be standard input");
  return {};
}

Outcome<std::string> wrapper_for(const std::string& store, bool padded) {
  auto w = padded ? wrapper::encode_padded(wrapper::as_bytes(store))
                  : wrapper::encode(wrapper::as_bytes(store));
  if (!w) return core_error(w.error());
  return std::move(*w);
}

// "START:LENGTH", both unsigned decimal.
std::optional<Exclusion> parse_exclusion(std::string_view s) {
  const auto colon = s.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  Exclusion ex;
  const auto number = [](std::string_view part, std::uint64_t& out) {
    const auto r = std::from_chars(part.data(), part.data() + part.size(), out);
    return !part.empty() && r.ec == std::errc{} && r.ptr == part.data() + part.size();
  };
  if (!number(s.substr(0, colon), ex.start) || !number(s.substr(colon + 1), ex.length)) {
    return std::nullopt;
  }
  return ex;
}

// A binding file in the shape that `hash` writes: {"alg", "hash" (base64),
// "exclusions": [{"start", "length"}]}. "alg" may be left out (sha256);
// other keys are ignored.
Outcome<DataHash> read_binding(const std::string& path, std::uint64_t limit) {
  auto raw = read_all(path, limit);
  if (!raw) return std::unexpected(std::move(raw.error()));
  const std::string name = display_name(path);
  json doc;
  try {
    doc = json::parse(*raw);
  } catch (const json::parse_error& e) {
    return input_error(name + ": not valid JSON (parse error at byte " + decimal(e.byte) + ")");
  }
  if (!doc.is_object()) return input_error(name + ": the binding must be a JSON object");
  DataHash binding;
  binding.alg = "sha256";
  if (const auto it = doc.find("alg"); it != doc.end()) {
    if (!it->is_string()) return input_error(name + ": \"alg\" must be a string");
    binding.alg = it->get<std::string>();
  }
  const auto hash = doc.find("hash");
  if (hash == doc.end() || !hash->is_string()) {
    return input_error(name + ": \"hash\" must be a base64 string");
  }
  auto digest = base64_decode(hash->get_ref<const std::string&>());
  if (!digest) return input_error(name + ": \"hash\" is not valid base64");
  binding.hash = std::move(*digest);
  const auto list = doc.find("exclusions");
  const std::string shape =
      ": \"exclusions\" must be a list of {\"start\": N, \"length\": N} "
      "with unsigned integers";
  if (list == doc.end() || !list->is_array()) return input_error(name + shape);
  for (const json& item : *list) {
    if (!item.is_object() || !item.contains("start") || !item.contains("length") ||
        !item["start"].is_number_unsigned() || !item["length"].is_number_unsigned()) {
      return input_error(name + shape);
    }
    binding.exclusions.push_back(
        {item["start"].get<std::uint64_t>(), item["length"].get<std::uint64_t>()});
  }
  return binding;
}

Outcome<DataHash> binding_from_options(const Options& o) {
  if (!o.binding.empty()) return read_binding(o.binding, o.max_input);
  if (!o.hash_given) {
    return usage_error("verify needs --binding FILE, or --hash B64 with --exclusion START:LENGTH");
  }
  DataHash binding;
  binding.alg = o.alg;
  auto digest = base64_decode(o.hash);
  if (!digest) return usage_error("--hash: not valid base64");
  binding.hash = std::move(*digest);
  for (const std::string& s : o.exclusions) {
    const auto ex = parse_exclusion(s);
    if (!ex) {
      return usage_error("--exclusion " + s +
                         ": expected START:LENGTH, two unsigned decimal integers");
    }
    binding.exclusions.push_back(*ex);
  }
  return binding;
}

// --strict-padding: the core's padding check, worded. The caller has
// established that `text` has one valid wrapper.
Outcome<void> check_padding(std::string_view text) {
  const auto padding = wrapper::check_padding(text);
  if (!padding) return core_error(padding.error());
  if (padding->canonical) return {};
  Failure f;
  f.status = kExitC2pa;
  f.message = "the wrapper carries " + decimal(padding->surplus) +
              " bytes behind its manifest store that are not its padding";
  return std::unexpected(std::move(f));
}

}  // namespace

Outcome<Emit> encode_command(const Options& o) {
  auto store = read_manifest(o.manifest, o.max_input);
  if (!store) return std::unexpected(std::move(store.error()));
  auto w = wrapper_for(*store, o.padded);
  if (!w) return std::unexpected(std::move(w.error()));
  return Emit{std::move(*w)};
}

Outcome<Emit> embed_command(const Options& o) {
  if (auto once = stdin_once(o.manifest, o.input, "--manifest and INPUT"); !once) {
    return std::unexpected(std::move(once.error()));
  }
  auto store = read_manifest(o.manifest, o.max_input);
  if (!store) return std::unexpected(std::move(store.error()));
  auto text = read_text(o.input, o.max_input);
  if (!text) return std::unexpected(std::move(text.error()));
  const std::vector<wrapper::Wrapper> found = wrapper::locate_all(*text);
  if (!found.empty()) {
    if (!o.replace) {
      return input_error(display_name(o.input) +
                         " already carries a C2PA text manifest wrapper at byte " +
                         decimal(found.front().start) +
                         "; a second one would make it unverifiable (use --replace to replace it)");
    }
    *text = wrapper::strip_all(*text);
  }
  if (o.nfc) *text = UnicodeNfc{}.normalize_owned(std::move(*text));
  auto w = wrapper_for(*store, o.padded);
  if (!w) return std::unexpected(std::move(w.error()));
  text->append(*w);
  return Emit{std::move(*text)};
}

Outcome<Emit> extract_command(const Options& o) {
  auto text = read_text(o.input, o.max_input);
  if (!text) return std::unexpected(std::move(text.error()));
  auto found = wrapper::extract(*text);
  if (!found) return core_error(found.error());
  if (!o.json) return Emit{as_string(found->payload)};
  const json doc = {
      {"version", found->version},
      {"start", found->start},
      {"length", found->length},
      {"manifest_length", found->payload.size()},
      {"manifest_sha256", hex(BuiltinCrypto{}.digest(Algorithm::Sha256, found->payload))},
  };
  std::optional<std::string> file;
  if (o.output != "-") file = as_string(found->payload);
  return Emit{dump(doc), true, std::move(file)};
}

namespace {

// Collects output into pieces of about 64 KiB for `write`.
class Pieces {
 public:
  explicit Pieces(const Write& write) : write_(write) {}
  bool add(std::string_view s) {
    buffer_ += s;
    return buffer_.size() < (std::size_t{64} << 10) || flush();
  }
  bool flush() {
    const bool ok = buffer_.empty() || write_(buffer_);
    buffer_.clear();
    return ok;
  }

 private:
  const Write& write_;
  std::string buffer_;
};

// The report of one candidate as a line, or as a JSON object.
std::string candidate_line(const wrapper::Candidate& c) {
  if (c.defect == wrapper::Defect::None) {
    return "wrapper at byte " + decimal(c.start) + ": " + decimal(c.length) +
           " bytes, manifest store of " + decimal(c.manifest_length) + " bytes\n";
  }
  const std::string why = detail(c);
  return "damaged candidate at byte " + decimal(c.start) + ": " + decimal(c.length) + " bytes, " +
         std::string(reason(c.defect)) + (why.empty() ? "" : " (" + why + ")") +
         (c.magic ? ", begins with the magic" : "") + "\n";
}

std::string candidate_json(const wrapper::Candidate& c) {
  if (c.defect == wrapper::Defect::None) {
    return "{\"start\":" + decimal(c.start) + ",\"length\":" + decimal(c.length) +
           ",\"manifest_length\":" + decimal(c.manifest_length) + "}";
  }
  // Reasons and details are fixed ASCII words and numbers: nothing to escape.
  return "{\"offset\":" + decimal(c.start) + ",\"length\":" + decimal(c.length) + ",\"reason\":\"" +
         std::string(reason(c.defect)) + "\",\"detail\":\"" + detail(c) +
         "\",\"magic\":" + (c.magic ? "true" : "false") + "}";
}

// Writes the report of `text`'s candidates. The JSON form lists the valid
// wrappers before the damaged candidates, so it walks the text twice
// rather than hold either list.
bool write_report(std::string_view text, bool as_json, const Write& write) {
  using wrapper::Defect;
  Pieces out(write);
  bool any = false;
  if (!as_json) {
    wrapper::CandidateScanner scanner(text, /*orphans=*/true);
    while (const auto c = scanner.next()) {
      if (c->defect == Defect::NoRun) continue;
      any = true;
      if (!out.add(candidate_line(*c))) return false;
    }
    if (!any && !out.add("no wrapper candidates\n")) return false;
    return out.flush();
  }
  for (const bool valid : {true, false}) {
    if (!out.add(valid ? "{\"wrappers\":[" : "],\"damaged\":[")) return false;
    bool first = true;
    wrapper::CandidateScanner scanner(text, /*orphans=*/true);
    while (const auto c = scanner.next()) {
      if (c->defect == Defect::NoRun || (c->defect == Defect::None) != valid) continue;
      if (!out.add(first ? "" : ",") || !out.add(candidate_json(*c))) return false;
      first = false;
    }
  }
  return out.add("]}\n") && out.flush();
}

}  // namespace

Outcome<Emit> locate_command(const Options& o) {
  auto text = read_text(o.input, o.max_input);
  if (!text) return std::unexpected(std::move(text.error()));
  // Markers with no run behind them are ordinary U+FEFF characters (a byte
  // order mark, a zero-width no-break space) and are not listed. The report
  // is written as the candidates are found: a text dense with damaged
  // candidates would otherwise need many times its size for the report.
  Emit emit{std::string()};
  emit.stream = [text = std::make_shared<const std::string>(std::move(*text)), as_json = o.json](
                    const Write& write) { return write_report(*text, as_json, write); };
  return emit;
}

Outcome<Emit> strip_command(const Options& o) {
  auto text = read_text(o.input, o.max_input);
  if (!text) return std::unexpected(std::move(text.error()));
  auto found = wrapper::extract(*text);
  if (!found) return core_error(found.error());
  auto stripped = wrapper::strip(*text, found->start, found->start + found->length);
  if (!stripped) return core_error(stripped.error());
  return Emit{std::move(*stripped)};
}

Outcome<Emit> hash_command(const Options& o) {
  auto alg = Algorithm::from_id(o.alg);
  if (!alg) return core_error(alg.error());
  auto text = read_text(o.input, o.max_input);
  if (!text) return std::unexpected(std::move(text.error()));
  auto binding = hardbinding::compute_data_hash(*text, *alg, BuiltinCrypto{}, UnicodeNfc{});
  if (!binding) return core_error(binding.error());
  const json doc = {{"alg", binding->alg},
                    {"hash", base64_encode(binding->hash)},
                    {"exclusions", exclusions_json(binding->exclusions)}};
  return Emit{dump(doc)};
}

Outcome<Emit> verify_command(const Options& o) {
  if (auto once = stdin_once(o.binding, o.input, "--binding and INPUT"); !once) {
    return std::unexpected(std::move(once.error()));
  }
  auto binding = binding_from_options(o);
  if (!binding) return std::unexpected(std::move(binding.error()));
  auto text = read_text(o.input, o.max_input);
  if (!text) return std::unexpected(std::move(text.error()));
  auto verified = hardbinding::verify_data_hash(*text, *binding, BuiltinCrypto{}, UnicodeNfc{});
  if (!verified) return core_error(verified.error());
  if (o.strict_padding) {
    if (auto padding = check_padding(*text); !padding)
      return std::unexpected(std::move(padding.error()));
  }
  if (o.json) {
    return Emit{dump({{"valid", true},
                      {"alg", binding->alg},
                      {"exclusions", exclusions_json(binding->exclusions)},
                      {"strict_padding", o.strict_padding}})};
  }
  return Emit{"verified (" + binding->alg + (o.strict_padding ? ", strict padding" : "") + ")\n"};
}

std::string failure_document(const Failure& failure, bool verify) {
  json doc = json::object();
  if (verify) doc["valid"] = false;
  doc["error"] = {{"message", failure.message},
                  {"code", failure.code ? json(*failure.code) : json(nullptr)}};
  return dump(doc);
}

}  // namespace quorvane::cli
