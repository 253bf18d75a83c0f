"""The c2pa.hash.data binding: compute_data_hash and verify_data_hash."""
import collections
import hashlib
import operator
import random
import sys

import pytest

import quorvane as q
import qvref
from qvref import (CORRUPTED, MALFORMED, MISMATCH, MULTIPLE, NOT_FOUND,
                   carry, header, raised, unsupported, utf8len, wrapper)

ALGS = [("sha256", 32), ("sha384", 48), ("sha512", 64)]
W = wrapper(b"manifest store")
BEFORE, AFTER = "Hello, w\u00f6rld ", " tail caf\u00e9 \u4e2d"
TEXT = BEFORE + W + AFTER
START, LENGTH = utf8len(BEFORE), utf8len(W)
RANGE = [(START, LENGTH)]
END = START + LENGTH
N = utf8len(TEXT)
H = {alg: qvref.digest(alg, TEXT, RANGE) for alg, _ in ALGS}
NO_WRAPPER = BEFORE + AFTER
BAD_ALGS = ["SHA256", "Sha384", "sha-256", " sha256", "sha256 ", "sha2566",
            "sha25", "sha1", "sha224", "sha3-256", "md5", ""]


def value_error(call, message):
    e = raised(call)
    assert type(e) is ValueError
    assert e.args == (message,)


@pytest.mark.parametrize("alg,size", ALGS)
def test_compute_result(alg, size):
    d = q.compute_data_hash(TEXT, alg)
    assert list(d) == ["alg", "hash", "exclusions"]
    assert type(d["alg"]) is str and type(d["hash"]) is bytes
    assert type(d["exclusions"]) is list
    assert [type(x) for x in d["exclusions"]] == [tuple]
    assert d == {"alg": alg, "hash": H[alg], "exclusions": RANGE}
    assert len(d["hash"]) == size
    assert d["exclusions"] == q.locate_all(TEXT)
    assert q.compute_data_hash(TEXT, alg=alg) == d
    assert q.verify_data_hash(TEXT, d["hash"], d["exclusions"], d["alg"]) \
        is None


def test_default_alg_is_sha256():
    assert q.compute_data_hash(TEXT) == q.compute_data_hash(TEXT, "sha256")
    assert q.verify_data_hash(TEXT, H["sha256"], RANGE) is None
    value_error(lambda: q.verify_data_hash(TEXT, H["sha384"], RANGE), MISMATCH)


E_ACUTE = "\u00e9".encode("utf-8")


@pytest.mark.parametrize("text,hashed", [
    (W, b""),                                   # only the wrapper: empty
    ("abc" + W + "def", b"abcdef"),
    ("e" + W + "\u0301", E_ACUTE),              # composes across the cut
    ("e\u0301" + W, E_ACUTE),
    ("\u212b" + W, "\u00c5".encode("utf-8")),   # singleton decomposition
    ("\u1100\u1161" + W + "\u11a8", "\uac01".encode("utf-8")),  # jamo
    ("\ufeff" + W + "\ufeff", "\ufeff\ufeff".encode("utf-8")),
    ("\ufe0f" + W, "\ufe0f".encode("utf-8")),   # selector before the marker
    (W + "\ufe0fz", b"z"),                      # trailing selector absorbed
])
@pytest.mark.parametrize("alg", [a for a, _ in ALGS])
def test_hashed_bytes(text, hashed, alg):
    assert q.compute_data_hash(text, alg)["hash"] == \
        hashlib.new(alg, hashed).digest()


def test_sha384_is_not_truncated_sha512():
    d384 = q.compute_data_hash(W, "sha384")["hash"]
    d512 = q.compute_data_hash(W, "sha512")["hash"]
    assert d384 == hashlib.sha384(b"").digest() != d512[:48]


@pytest.mark.parametrize("name", BAD_ALGS)
def test_unsupported_algorithm_names(name):
    message = unsupported(name)
    value_error(lambda: q.compute_data_hash(TEXT, name), message)
    value_error(lambda: q.verify_data_hash(TEXT, H["sha256"], RANGE, name),
                message)
    # the name is parsed before the text or the exclusions are looked at
    value_error(lambda: q.compute_data_hash(NO_WRAPPER, alg=name), message)
    value_error(lambda: q.verify_data_hash(NO_WRAPPER, b"", [], name),
                message)


@pytest.mark.parametrize("text,message", [
    (NO_WRAPPER, NOT_FOUND),
    ("", NOT_FOUND),
    (q.strip(TEXT, START, LENGTH), NOT_FOUND),
    (BEFORE + carry(header(4) + b"abc") + AFTER, CORRUPTED),
    (TEXT + W, MULTIPLE),
])
def test_compute_extraction_failures(text, message):
    value_error(lambda: q.compute_data_hash(text), message)
    for alg, _ in ALGS:
        value_error(lambda: q.compute_data_hash(text, alg), message)


OTHER = wrapper(b"manifest STORE")  # same byte length, another manifest
assert utf8len(OTHER) == LENGTH
DECOMPOSED_AFTER = AFTER.replace("\u00e9", "e\u0301")
DECOMPOSED_BEFORE = BEFORE.replace("\u00f6", "o\u0308")
LATER = (END + 2, 4)                     # "ail " of the tail
H_BOTH = qvref.digest("sha256", TEXT, RANGE + [LATER])
H_LEAD = qvref.digest("sha256", TEXT, [(0, 5)] + RANGE)
INSIDE_E = N - utf8len(" \u4e2d") - 1    # one byte into the final "é"

# text, hash, exclusions, alg, expected message (None: verifies)
VERIFY = {
    "sha384": (TEXT, H["sha384"], RANGE, "sha384", None),
    "sha512": (TEXT, H["sha512"], RANGE, "sha512", None),
    "tuple of tuples": (TEXT, H["sha256"], tuple(RANGE), "sha256", None),
    "extra later range": (TEXT, H_BOTH, RANGE + [LATER], "sha256", None),
    "extra later range, one-range digest": (TEXT, H["sha256"],
                                            RANGE + [LATER], "sha256",
                                            MISMATCH),
    "extra leading range": (TEXT, H_LEAD, [(0, 5)] + RANGE, "sha256", None),
    "empty ranges after": (TEXT, H["sha256"], RANGE + [(END, 0), (END, 0)],
                           "sha256", None),
    "empty range at end": (TEXT, H["sha256"], RANGE + [(N, 0)], "sha256",
                           None),
    "other manifest, same size": (BEFORE + OTHER + AFTER, H["sha256"], RANGE,
                                  "sha256", None),
    "decomposed behind": (BEFORE + W + DECOMPOSED_AFTER, H["sha256"], RANGE,
                          "sha256", None),
    # digest comparison
    "cut by one byte": (TEXT, H["sha256"][:-1], RANGE, "sha256", MISMATCH),
    "one byte appended": (TEXT, H["sha256"] + b"\x00", RANGE, "sha256",
                          MISMATCH),
    "one byte flipped": (TEXT, bytes([H["sha256"][0] ^ 1]) + H["sha256"][1:],
                         RANGE, "sha256", MISMATCH),
    "empty hash": (TEXT, b"", RANGE, "sha256", MISMATCH),
    "sha256 digest as sha512": (TEXT, H["sha256"], RANGE, "sha512", MISMATCH),
    "letter changed": (TEXT.replace("Hello", "Jello"), H["sha256"], RANGE,
                       "sha256", MISMATCH),
    # the exclusions must name the wrapper exactly
    "empty list": (TEXT, H["sha256"], [], "sha256", MALFORMED),
    "empty list, no wrapper": (NO_WRAPPER, b"", [], "sha256", MALFORMED),
    "one byte longer": (TEXT, b"", [(START, LENGTH + 1)], "sha256",
                        MALFORMED),
    "covering": (TEXT, b"", [(START - 1, LENGTH + 1)], "sha256", MALFORMED),
    "split in two": (TEXT, b"", [(START, 49), (START + 49, LENGTH - 49)],
                     "sha256", MALFORMED),
    "character inserted in front": ("!" + TEXT, H["sha256"], RANGE, "sha256",
                                    MALFORMED),
    "decomposed in front": (DECOMPOSED_BEFORE + W + AFTER, H["sha256"],
                            RANGE, "sha256", MALFORMED),
    "selector appended to wrapper": (BEFORE + W + "\ufe0f" + AFTER,
                                     H["sha256"], RANGE, "sha256", MALFORMED),
    # the whole list passes the range checks before anything is digested
    "out of order": (TEXT, b"", RANGE + [(0, 1)], "sha256", MALFORMED),
    "duplicate": (TEXT, b"", RANGE + RANGE, "sha256", MALFORMED),
    "overlapping": (TEXT, b"", RANGE + [(END - 1, 2)], "sha256", MALFORMED),
    "beyond the end": (TEXT, b"", RANGE + [(N, 1)], "sha256", MALFORMED),
    "sum overflows": (TEXT, b"", RANGE + [(END, 2 ** 64 - 1)], "sha256",
                      MALFORMED),
    "inside a character": (TEXT, b"", RANGE + [(INSIDE_E, 1)], "sha256",
                           MALFORMED),
    "end inside a character": (TEXT, b"", RANGE + [(END, INSIDE_E - END)],
                               "sha256", MALFORMED),
    # a text without exactly one wrapper cannot be verified at all
    "stripped": (q.strip(TEXT, START, LENGTH), H["sha256"], RANGE, "sha256",
                 NOT_FOUND),
    "stripped, wrong ranges": (NO_WRAPPER, b"", [(1, 1)], "sha512",
                               NOT_FOUND),
    "damaged": (BEFORE + carry(header(9)) + AFTER, H["sha256"], RANGE,
                "sha256", CORRUPTED),
    "two wrappers": (TEXT + W, H["sha256"], RANGE, "sha256", MULTIPLE),
}


@pytest.mark.parametrize("case", list(VERIFY.values()), ids=list(VERIFY))
def test_verify(case):
    text, digest, exclusions, alg, expected = case
    if expected is None:
        assert q.verify_data_hash(text, digest, exclusions, alg) is None
    else:
        value_error(lambda: q.verify_data_hash(text, digest, exclusions, alg),
                    expected)


def test_bad_alg_is_reported_before_empty_exclusions():
    value_error(lambda: q.verify_data_hash(TEXT, H["sha256"], [], "md5"),
                unsupported("md5"))


class Pair(tuple):
    pass


Span = collections.namedtuple("Span", "start length")


class RangeSeq:
    """A sequence by __len__ and __getitem__ only."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length = items, length
        self.fail_at, self.error = fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


MIDWAY = RuntimeError("sequence broke")

SEQUENCES = {
    "tuple subclass items": [Pair(RANGE[0])],
    "namedtuple items": [Span(*RANGE[0])],
    "tuple subclass container": Pair(RANGE),
    "list subclass container": type("L", (list,), {})(RANGE),
    "protocol only": RangeSeq(RANGE),
    "len raises": RangeSeq(RANGE, length=RuntimeError("no length")),
    "len raises TypeError": RangeSeq(RANGE, length=TypeError("no length")),
    "len says 10**18": RangeSeq(RANGE, length=10 ** 18),
    "len says maxsize": RangeSeq(RANGE, length=sys.maxsize),
    "index objects": [(Index(START), Index(LENGTH))],
}


@pytest.mark.parametrize("exclusions", list(SEQUENCES.values()),
                         ids=list(SEQUENCES))
def test_exclusion_sequences_accepted(exclusions):
    assert q.verify_data_hash(TEXT, H["sha256"], exclusions) is None
    # nothing is left pending from a discarded length error
    assert q.encode(b"") == wrapper(b"")


def test_sequence_longer_than_its_len_is_read_whole():
    seq = RangeSeq(RANGE + [LATER], length=1)
    assert q.verify_data_hash(TEXT, H_BOTH, seq) is None
    value_error(lambda: q.verify_data_hash(TEXT, H["sha256"], seq), MISMATCH)


def test_iteration_error_midway():
    seq = RangeSeq(RANGE + [LATER], fail_at=1, error=MIDWAY)
    assert raised(lambda: q.verify_data_hash(TEXT, H_BOTH, seq)) is MIDWAY
    seq = RangeSeq(RANGE + [LATER], fail_at=1, error=TypeError("midway"))
    e = raised(lambda: q.verify_data_hash(TEXT, H_BOTH, seq))
    assert type(e) is TypeError
    assert e.args == ("argument 'exclusions': midway",)


def _prefixed(what):
    return "argument 'exclusions': " + what


def _not_seq(type_name):
    return _prefixed("'%s' object cannot be converted to 'Sequence'"
                     % type_name)


def _not_tuple(type_name):
    return _prefixed("'%s' object cannot be converted to 'PyTuple'"
                     % type_name)


def _index_text(obj):
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return _prefixed(str(info.value))


def _arity(n):
    return "expected tuple of length 2, but got tuple of length %d" % n


NO_STR = _prefixed("Can't extract `str` to `Vec`")
REFUSED = {
    "str": ("abc", TypeError, NO_STR),
    "empty str": ("", TypeError, NO_STR),
    "str subclass": (type("S", (str,), {})("x"), TypeError, NO_STR),
    "set": ({RANGE[0]}, TypeError, _not_seq("set")),
    "frozenset": (frozenset(RANGE), TypeError, _not_seq("frozenset")),
    "dict": ({RANGE[0]: 1}, TypeError, _not_seq("dict")),
    "generator": ((r for r in RANGE), TypeError, _not_seq("generator")),
    "iterator": (iter(RANGE), TypeError, _not_seq("list_iterator")),
    "None": (None, TypeError, _not_seq("NoneType")),
    "int": (5, TypeError, _not_seq("int")),
    "list of lists": ([list(RANGE[0])], TypeError, _not_tuple("list")),
    "bytes of ints": (b"\x00", TypeError, _not_tuple("int")),
    "range of ints": (range(3), TypeError, _not_tuple("int")),
    "None item": (RANGE + [None], TypeError, _not_tuple("NoneType")),
    "triple": ([(1, 2, 3)], ValueError, _arity(3)),
    "empty tuple": ([()], ValueError, _arity(0)),
    "single": (RANGE + [(1,)], ValueError, _arity(1)),
    "float start": ([(0.5, 1)], TypeError, _index_text(0.5)),
    "str length": ([(0, "1")], TypeError, _index_text("1")),
    # the first failing item decides
    "triple then str": ([(1, 2, 3), "x"], ValueError, _arity(3)),
    "str then triple": (["x", (1, 2, 3)], TypeError, _not_tuple("str")),
    "negative then float": ([(-1, 0), (0.5, 0)], OverflowError, None),
}


@pytest.mark.parametrize("case", list(REFUSED.values()), ids=list(REFUSED))
def test_exclusion_conversion_failures(case):
    exclusions, kind, message = case
    # conversion comes before alg is parsed or the text is examined
    for alg in ("sha256", "md5"):
        e = raised(lambda: q.verify_data_hash(NO_WRAPPER, H["sha256"],
                                              exclusions, alg))
        assert type(e) is kind
        if message is None:
            assert not str(e).startswith("argument")
        else:
            assert e.args == (message,)


def test_empty_bytes_converts_to_an_empty_list():
    value_error(lambda: q.verify_data_hash(TEXT, H["sha256"], b""), MALFORMED)
    value_error(lambda: q.verify_data_hash(TEXT, H["sha256"], ()), MALFORMED)


def _random_texts(count, seed):
    rng = random.Random(seed)
    out = []
    for i in range(count):
        payload = qvref.random_payload(rng, 60)
        piece = wrapper(payload, qvref.padding_for(payload)) if i % 3 == 0 \
            else wrapper(payload)
        text = qvref.random_host(rng, 30) + piece + qvref.random_host(rng, 30)
        if len(qvref.locate_all(text)) == 1:
            out.append((text, ALGS[i % 3][0]))
    return out


RANDOM = _random_texts(60, 4242)


@pytest.mark.parametrize("text,alg", RANDOM, ids=range(len(RANDOM)))
def test_random_texts_against_reference(text, alg):
    expected = qvref.data_hash(text, alg)
    got = q.compute_data_hash(text, alg)
    assert got == expected
    assert q.verify_data_hash(text, got["hash"], got["exclusions"], alg) \
        is None
    start, length = got["exclusions"][0]
    # any later whole-character range can be excluded as well
    data = text.encode("utf-8")
    rng = random.Random(len(data))
    ends = [i for i in range(start + length, len(data) + 1)
            if qvref.is_boundary(data, i)]
    a, b = sorted(rng.sample(ends, 2)) if len(ends) > 1 else (ends[0],) * 2
    both = got["exclusions"] + [(a, b - a)]
    assert q.verify_data_hash(text, qvref.digest(alg, text, both), both,
                              alg) is None
