// Documentation strings of the exported functions. Each starts with its
// signature line and "--", from which CPython derives __text_signature__.
#pragma once

namespace quorvane::python::doc {

inline constexpr const char kEmbed[] =
    "embed(text, payload)\n--\n\n"
    "Embed a Manifest Store into `text` as an invisible variation-selector run.";

inline constexpr const char kEncode[] =
    "encode(payload)\n--\n\n"
    "Encode a wrapper on its own, without a host text.";

inline constexpr const char kEncodePadded[] =
    "encode_padded(payload)\n--\n\n"
    "Encode a wrapper padded to the deterministic target length, so two\n"
    "generators produce byte-identical output for the same manifest.";

inline constexpr const char kTargetLength[] =
    "target_length(manifest_len)\n--\n\n"
    "The deterministic wrapper length for a manifest of `manifest_len` bytes.";

inline constexpr const char kExtract[] =
    "extract(text)\n--\n\n"
    "The single valid wrapper in `text`, or `None` when it carries none.\n\n"
    "Returns a dict with `payload` (bytes), `version`, `start`, and `length`.";

inline constexpr const char kLocateAll[] =
    "locate_all(text)\n--\n\n"
    "The `(start, length)` byte ranges of every valid wrapper in `text`.";

inline constexpr const char kStrip[] =
    "strip(text, start, length)\n--\n\n"
    "Remove the wrapper occupying `[start, start + length)`, leaving the visible\n"
    "text.";

inline constexpr const char kComputeDataHash[] =
    "compute_data_hash(text, alg=\"sha256\")\n--\n\n"
    "Compute the `c2pa.hash.data` binding for text that already carries a wrapper.\n\n"
    "`alg` is one of `sha256`, `sha384`, `sha512`. Returns a dict with `alg`,\n"
    "`hash` (bytes), and `exclusions` (a list of `(start, length)`).\n\n"
    "The wrapper bytes are removed first and the remainder normalized to NFC, in\n"
    "that order: offsets are into the text as stored, so normalizing first would\n"
    "shift every one of them.";

inline constexpr const char kVerifyDataHash[] =
    "verify_data_hash(text, hash, exclusions, alg=\"sha256\")\n--\n\n"
    "Verify a `c2pa.hash.data` binding against `text`.\n\n"
    "Raises `ValueError` carrying the status code on mismatch or a malformed\n"
    "exclusion; returns `None` on success.";

}  // namespace quorvane::python::doc
