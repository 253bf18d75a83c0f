"""Writing wrappers: encode, encode_padded, target_length, embed."""
import random
import sys

import pytest

import quorvane as q
import qvref
from qvref import utf8len

EMPTY_WRAPPER = bytes.fromhex(
    "efbbbf"                                    # marker
    "f3a084b3 f3a084a2 f3a08580 f3a084b1"       # C 2 P A
    "f3a08584 f3a08588 f3a08584"                # T X T
    "efb880"                                    # zero byte of the magic
    "efb881"                                    # version 1
    "efb880 efb880 efb880 efb880")              # manifestLength 0


def test_empty_payload_wrapper_bytes():
    w = q.encode(b"")
    assert type(w) is str and len(w) == 14 and w.startswith(q.MARKER)
    assert w.encode("utf-8") == EMPTY_WRAPPER
    assert len(EMPTY_WRAPPER) == 49


def test_empty_payload_padded_wrapper_bytes():
    w = q.encode_padded(b"")
    assert w.encode("utf-8") == EMPTY_WRAPPER + bytes.fromhex("efb880") * 4
    assert utf8len(w) == 61 and len(w) == 18


@pytest.mark.parametrize("byte,utf8", [
    (0x00, "efb880"), (0x01, "efb881"), (0x0F, "efb88f"),
    (0x10, "f3a08480"), (0x43, "f3a084b3"), (0xFF, "f3a087af"),
])
def test_selector_of_one_byte(byte, utf8):
    w = q.encode(bytes([byte])).encode("utf-8")
    # manifestLength 1 is 00 00 00 01: all four take 3 bytes
    assert w[:49 - 3] == EMPTY_WRAPPER[:49 - 3]
    assert w[46:49] == bytes.fromhex("efb881")
    assert w[49:] == bytes.fromhex(utf8)


def _payloads():
    rng = random.Random(20240501)
    fixed = [b"", b"\x00", b"\x0f\x10", bytes(range(256)), b"\xef\xbb\xbf",
             qvref.header(0), b"a" * 255, b"b" * 256, b"\x10" * 4097,
             b"\x00" * 70000]
    return fixed + [qvref.random_payload(rng, 300) for _ in range(40)]


PAYLOADS = _payloads()


@pytest.mark.parametrize("payload", PAYLOADS, ids=range(len(PAYLOADS)))
def test_encode_and_encode_padded_follow_the_format(payload):
    n = len(payload)
    plain = q.encode(payload)
    assert plain == qvref.wrapper(payload)
    assert len(plain) == 14 + n and plain.count("\ufeff") == 1

    padded = q.encode_padded(payload)
    padding = qvref.padding_for(payload)
    assert padded == qvref.wrapper(payload, padding)
    assert padded.startswith(plain)
    assert utf8len(padded) == q.target_length(n) == 4 * n + 61
    assert len(padded) == 14 + n + len(padding)
    assert q.extract(padded) == {"payload": payload, "version": 1, "start": 0,
                                 "length": 4 * n + 61}


def test_padded_length_depends_only_on_payload_length():
    rng = random.Random(7)
    for n in (0, 1, 2, 3, 15, 16, 17, 64, 300):
        lengths = {utf8len(q.encode_padded(bytes(rng.randrange(256)
                                                 for _ in range(n))))
                   for _ in range(8)}
        lengths |= {utf8len(q.encode_padded(b"\x00" * n)),
                    utf8len(q.encode_padded(b"\xff" * n))}
        assert lengths == {4 * n + 61}


# payload, unpadded UTF-8 length, padded length, padding characters
WORKED = [
    (b"", 49, 61, "\ufe00" * 4),
    (b"\x00", 52, 65, "\ufe00" * 3 + "\U000e0100"),
    (b"\xff", 53, 65, "\ufe00" * 4),
    (b"hello", 69, 81, "\ufe00" * 4),
    (b"\x00" * 16, 98, 125, "\ufe00" * 9),
    (b"a" * 100, 450, 461, "\ufe00" + "\U000e0100" * 2),
]


@pytest.mark.parametrize("payload,unpadded,padded,padding", WORKED)
def test_worked_padding_figures(payload, unpadded, padded, padding):
    assert utf8len(q.encode(payload)) == unpadded
    assert q.encode_padded(payload) == q.encode(payload) + padding
    assert utf8len(q.encode_padded(payload)) == padded


@pytest.mark.parametrize("n,expected", [
    (0, 61), (1, 65), (2, 69), (4294967295, 17179869241),
    (4294967296, 17179869245),
    (4611686018427387888, 2 ** 64 - 3),
    (4611686018427387889, 2 ** 64 + 1),
    (2 ** 64 - 1, 4 * (2 ** 64 - 1) + 61),
])
def test_target_length(n, expected):
    got = q.target_length(n)
    assert type(got) is int and got == expected


@pytest.mark.parametrize("fn", [q.encode, q.encode_padded,
                                lambda p: q.embed("host", p)])
def test_results_are_deterministic(fn):
    a = fn(b"\x01payload\xfe")
    b = fn(b"\x01payload\xfe")
    assert a == b and type(a) is str


# a selector in front of the marker, or a stray marker, stays host text
HOSTS = ["", "Hello", "h\u00e9llo", "a\ufeffb", "\ufeff", "x\ufe0f",
         "\u65e5\u672c\U0001f389", "e\u0301"]


@pytest.mark.parametrize("host", HOSTS)
@pytest.mark.parametrize("payload", [b"", b"abc", b"\x00\xff" * 9])
def test_embed_appends_the_unpadded_wrapper(host, payload):
    text = q.embed(host, payload)
    assert text == host + q.encode(payload)
    assert text.encode("utf-8").startswith(host.encode("utf-8"))
    d = q.extract(text)
    start = utf8len(host)
    length = utf8len(q.encode(payload))
    assert d == {"payload": payload, "version": 1, "start": start,
                 "length": length}
    assert q.locate_all(text) == [(start, length)]
    assert q.strip(text, start, length) == host


def test_embed_into_empty_text_is_encode():
    for p in (b"", b"x", bytes(range(256))):
        assert q.embed("", p) == q.encode(p)


def test_embed_twice_gives_two_wrappers():
    once = q.embed("visible", b"first")
    twice = q.embed(once, b"second")
    assert twice == once + q.encode(b"second")
    assert q.locate_all(twice) == [(7, utf8len(q.encode(b"first"))),
                                   (utf8len(once),
                                    utf8len(q.encode(b"second")))]
    with pytest.raises(ValueError) as info:
        q.extract(twice)
    assert info.value.args == (qvref.MULTIPLE,)


@pytest.fixture(scope="module")
def oversized():
    if sys.maxsize < 2 ** 33:
        pytest.skip("needs a 64-bit interpreter")
    # bytes(n) is zero-filled lazily, so this costs no real memory
    return bytes(2 ** 32)


@pytest.mark.parametrize("fn", [q.encode, q.encode_padded,
                                lambda p: q.embed("text", p)],
                         ids=["encode", "encode_padded", "embed"])
def test_payload_too_large(fn, oversized):
    with pytest.raises(ValueError) as info:
        fn(oversized)
    assert type(info.value) is ValueError
    assert info.value.args == (qvref.too_large(2 ** 32),)
