"""Producer and validator walk-through on a multilingual sample.

A producer embeds a Manifest Store into a text, padded to the deterministic
length, and computes the text's c2pa.hash.data binding; a validator finds the
wrapper, verifies the binding, catches an edit, and strips the wrapper to get
the visible text back.
"""
import pathlib
import sys

import quorvane

here = pathlib.Path(__file__).parent / "data"
text = (here / "sample.txt").read_text(encoding="utf-8")
store = (here / "manifest_store.bin").read_bytes()


def say(step, message):
    print(f"[{step}] {message}")


# Producer: reserve the wrapper's place, embed, bind.
wrapper = quorvane.encode_padded(store)
assert len(wrapper.encode("utf-8")) == quorvane.target_length(len(store))
signed = text + wrapper
say("embed", f"{len(text)} characters of text + a {len(store)}-byte manifest store -> "
    f"{len(signed.encode('utf-8'))} bytes of UTF-8 "
    f"(wrapper: {quorvane.target_length(len(store))} bytes, invisible)")
binding = quorvane.compute_data_hash(signed, "sha256")
say("bind", f"alg={binding['alg']} hash={binding['hash'].hex()[:32]}... "
    f"exclusions={binding['exclusions']}")

# Validator: find, read back, verify.
found = quorvane.extract(signed)
assert found is not None and found["payload"] == store
say("extract", f"wrapper at byte {found['start']}, {found['length']} bytes, version "
    f"{found['version']}, manifest store of {len(found['payload'])} bytes read back intact")
quorvane.verify_data_hash(signed, binding["hash"], binding["exclusions"], binding["alg"])
say("verify", "binding holds")

# A one-letter edit in the visible text is caught.
tampered = signed.replace("words", "wards", 1)
try:
    quorvane.verify_data_hash(tampered, binding["hash"], binding["exclusions"], binding["alg"])
except ValueError as exc:
    say("tamper", f"edit caught: {exc}")
else:
    sys.exit("an edited text verified")

# Strip the wrapper: the visible text comes back unchanged.
plain = quorvane.strip(signed, found["start"], found["length"])
assert plain == text
say("strip", f"wrapper removed; text identical to the original: {plain == text}")
