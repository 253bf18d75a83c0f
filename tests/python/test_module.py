"""Module contents, documentation strings and identity."""
import importlib
import inspect
import sys
import types

import pytest

import quorvane

NAMES = ["embed", "encode", "encode_padded", "target_length", "extract",
         "locate_all", "strip", "compute_data_hash", "verify_data_hash",
         "MARKER", "VERSION", "__version__"]

DOCS = [
    ("embed", "(text, payload)",
     "Embed a Manifest Store into `text` as an invisible variation-selector "
     "run."),
    ("encode", "(payload)",
     "Encode a wrapper on its own, without a host text."),
    ("encode_padded", "(payload)",
     "Encode a wrapper padded to the deterministic target length, so two\n"
     "generators produce byte-identical output for the same manifest."),
    ("target_length", "(manifest_len)",
     "The deterministic wrapper length for a manifest of `manifest_len` "
     "bytes."),
    ("extract", "(text)",
     "The single valid wrapper in `text`, or `None` when it carries none.\n"
     "\n"
     "Returns a dict with `payload` (bytes), `version`, `start`, and "
     "`length`."),
    ("locate_all", "(text)",
     "The `(start, length)` byte ranges of every valid wrapper in `text`."),
    ("strip", "(text, start, length)",
     "Remove the wrapper occupying `[start, start + length)`, leaving the "
     "visible\ntext."),
    ("compute_data_hash", '(text, alg="sha256")',
     "Compute the `c2pa.hash.data` binding for text that already carries a "
     "wrapper.\n"
     "\n"
     "`alg` is one of `sha256`, `sha384`, `sha512`. Returns a dict with "
     "`alg`,\n"
     "`hash` (bytes), and `exclusions` (a list of `(start, length)`).\n"
     "\n"
     "The wrapper bytes are removed first and the remainder normalized to "
     "NFC, in\n"
     "that order: offsets are into the text as stored, so normalizing first "
     "would\n"
     "shift every one of them."),
    ("verify_data_hash", '(text, hash, exclusions, alg="sha256")',
     "Verify a `c2pa.hash.data` binding against `text`.\n"
     "\n"
     "Raises `ValueError` carrying the status code on mismatch or a "
     "malformed\n"
     "exclusion; returns `None` on success."),
]

PARAMS = {
    "embed": [("text", None), ("payload", None)],
    "encode": [("payload", None)],
    "encode_padded": [("payload", None)],
    "target_length": [("manifest_len", None)],
    "extract": [("text", None)],
    "locate_all": [("text", None)],
    "strip": [("text", None), ("start", None), ("length", None)],
    "compute_data_hash": [("text", None), ("alg", "sha256")],
    "verify_data_hash": [("text", None), ("hash", None), ("exclusions", None),
                         ("alg", "sha256")],
}


def test_all_lists_the_twelve_names_in_registration_order():
    assert quorvane.__all__ == NAMES
    assert type(quorvane.__all__) is list
    # attributes were set in the same order as __all__ grew
    assert [k for k in vars(quorvane) if k in NAMES] == NAMES


def test_module_doc_and_constants():
    assert quorvane.__doc__ == ""
    assert quorvane.__name__ == "quorvane"
    assert type(quorvane.MARKER) is str and quorvane.MARKER == "\ufeff"
    assert quorvane.MARKER.encode("utf-8") == b"\xef\xbb\xbf"
    assert type(quorvane.VERSION) is int and quorvane.VERSION == 1
    assert type(quorvane.__version__) is str
    assert quorvane.__version__ == "0.2.0"


@pytest.mark.parametrize("name,signature,doc", DOCS, ids=[d[0] for d in DOCS])
def test_function_record(name, signature, doc):
    fn = getattr(quorvane, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "quorvane"
    assert fn.__self__ is quorvane


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_inspect_signature(name):
    sig = inspect.signature(getattr(quorvane, name))
    got = [(p.name, None if p.default is p.empty else p.default)
           for p in sig.parameters.values()]
    assert got == PARAMS[name]
    assert {p.kind for p in sig.parameters.values()} == {
        inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_reimport_returns_the_same_module_without_registering_again():
    assert importlib.import_module("quorvane") is quorvane
    saved = sys.modules.pop("quorvane")
    try:
        again = importlib.import_module("quorvane")
        assert again is saved
        assert again.__all__ == NAMES
    finally:
        sys.modules["quorvane"] = saved
    import quorvane as third
    assert third is saved


def test_internal_failure_class_is_not_exported():
    assert not hasattr(quorvane, "PanicException")
    assert "PanicException" not in dir(quorvane)
    assert [n for n in dir(quorvane) if not n.startswith("__")] == sorted(
        n for n in NAMES if not n.startswith("__"))
