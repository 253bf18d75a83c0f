"""Reading wrappers: extract, locate_all and strip, all in UTF-8 byte
offsets of the text as passed."""
import random

import pytest

import quorvane as q
import qvref
from qvref import (MAGIC, MARKER_BYTES, carry, header, raised, utf8len,
                   wrapper)

M = "\ufeff"
W = wrapper(b"abc")
W2 = wrapper(b"second manifest")
LW, LW2 = utf8len(W), utf8len(W2)
# visible character typed into the middle of the payload's selectors
TYPED_INTO = wrapper(b"abcdef")[:16] + "X" + wrapper(b"abcdef")[16:]


NOTHING = {
    "empty": "",
    "plain": "plain text",
    "marker only": M,
    "marker at end": "abc" + M,
    "byte order mark": M + "abc",
    "markers only": M * 3,
    "seven magic letters": carry(MAGIC[:7]),
    "magic with wrong eighth byte": carry(b"C2PATXT\x01\x01\x00\x00\x00\x00"),
    "lower-case magic": carry(b"c2patxt\x00\x01\x00\x00\x00\x00"),
    "junk selector before header": carry(b"\x00" + header(0)),
    "run without marker": W[1:],
    "run without marker then marker": "x" + W[1:] + M,
}

CORRUPT = {
    "magic alone": carry(MAGIC),
    "magic and four bytes": carry(MAGIC + b"\x01\x00\x00\x00"),
    "version 2": carry(header(0, version=2)),
    "version 0": carry(header(3, version=0) + b"abc"),
    "payload short": carry(header(5) + b"abcd"),
    "largest length, no payload": carry(header(2 ** 32 - 1)),
    "character typed into run": TYPED_INTO,
    "magic after a plain marker": "ab" + M + "cd" + carry(MAGIC + b"\x01"),
}


@pytest.mark.parametrize("text", list(NOTHING.values()), ids=list(NOTHING))
def test_texts_without_candidates(text):
    assert q.extract(text) is None
    assert q.locate_all(text) == []


@pytest.mark.parametrize("text", list(CORRUPT.values()), ids=list(CORRUPT))
def test_damaged_candidates(text):
    assert q.locate_all(text) == []
    e = raised(lambda: q.extract(text))
    assert type(e) is ValueError and e.args == (qvref.CORRUPTED,)


# text, expected (start, length) list, payload when exactly one
VALID = {
    "wrapper alone": (W, [(0, LW)], b"abc"),
    "behind a stray marker": (M + W, [(3, LW)], b"abc"),
    "behind two stray markers": (M + M + W, [(6, LW)], b"abc"),
    "behind non-ASCII": ("h\u00e9llo" + W, [(6, LW)], b"abc"),
    "followed by text": ("\U0001f600" + W + "A" + M, [(4, LW)], b"abc"),
    "absorbs a trailing selector": (W + "\ufe0f", [(0, LW + 3)], b"abc"),
    "absorbs trailing selectors": (W + "\U000e01ef\ufe00x",
                                   [(0, LW + 7)], b"abc"),
    "empty payload": (wrapper(b""), [(0, 49)], b""),
    "padded": (wrapper(b"xy", qvref.padding_for(b"xy")), [(0, 69)], b"xy"),
    "surplus of any value": (wrapper(b"abc", b"\xff\x00\x10\xef"),
                             [(0, LW + 15)], b"abc"),
    "header as payload": (wrapper(header(0)), [(0, utf8len(wrapper(header(0))))],
                          header(0)),
    "marker bytes as payload": (wrapper(MARKER_BYTES), [(0, 61)],
                                MARKER_BYTES),
    "between damaged candidates": (
        carry(MAGIC) + "|" + W + TYPED_INTO,
        [(utf8len(carry(MAGIC)) + 1, LW)], b"abc"),
    "selectors before marker": ("\ufe01\ufe02" + W, [(6, LW)], b"abc"),
    "two adjacent": (W + W2, [(0, LW), (LW, LW2)], None),
    "two apart": ("a" + W + "\u4e2d" + W2 + "z",
                  [(1, LW), (1 + LW + 3, LW2)], None),
    "two with damaged": (W + carry(MAGIC) + "." + W2,
                         [(0, LW), (LW + utf8len(carry(MAGIC)) + 1, LW2)],
                         None),
}


@pytest.mark.parametrize("text,ranges,payload", list(VALID.values()),
                         ids=list(VALID))
def test_valid_wrappers(text, ranges, payload):
    got = q.locate_all(text)
    assert type(got) is list
    assert all(type(r) is tuple and len(r) == 2 for r in got)
    assert got == ranges
    if payload is None:
        e = raised(lambda: q.extract(text))
        assert type(e) is ValueError and e.args == (qvref.MULTIPLE,)
        return
    d = q.extract(text)
    assert list(d) == ["payload", "version", "start", "length"]
    assert [type(v) for v in d.values()] == [bytes, int, int, int]
    assert d == {"payload": payload, "version": 1, "start": ranges[0][0],
                 "length": ranges[0][1]}
    assert d["version"] == q.VERSION
    start, length = ranges[0]
    data = text.encode("utf-8")
    assert data[start:start + 3] == MARKER_BYTES
    assert q.strip(text, start, length) == (
        data[:start] + data[start + length:]).decode("utf-8")


def test_offsets_are_utf8_bytes_not_characters():
    text = q.embed("h\u00e9llo", b"p")
    assert q.locate_all(text) == [(6, utf8len(q.encode(b"p")))]
    assert q.extract(text)["start"] == 6
    assert q.strip(text, 6, utf8len(q.encode(b"p"))) == "h\u00e9llo"


MAL = qvref.MALFORMED
STRIP = [
    ("h\u00e9llo", 1, 2, "hllo"),
    ("h\u00e9llo", 1, 1, MAL),
    ("h\u00e9llo", 2, 1, MAL),
    ("h\u00e9llo", 0, 0, "h\u00e9llo"),
    ("abc", 3, 0, "abc"),
    ("abc", 0, 3, ""),
    ("abc", 1, 1, "ac"),
    ("abc", 2, 2, MAL),
    ("abc", 4, 0, MAL),
    ("abc", 1, 2 ** 64 - 1, MAL),
    ("abc", 2 ** 64 - 1, 1, MAL),
    ("abc", 2 ** 64 - 1, 0, MAL),
    ("", 0, 0, ""),
    ("", 0, 1, MAL),
    ("a\U0001f600b", 1, 4, "ab"),
    ("a\U0001f600b", 1, 3, MAL),
    ("a\U0001f600b", 2, 3, MAL),
    ("a\U0001f600b", 3, 0, MAL),
    (M + "x", 0, 3, "x"),
    (M + "x", 1, 3, MAL),
    ("no wrapper here", 3, 8, "no here"),
]


@pytest.mark.parametrize("text,start,length,expected", STRIP)
def test_strip(text, start, length, expected):
    if expected == MAL:
        e = raised(lambda: q.strip(text, start, length))
        assert type(e) is ValueError and e.args == (MAL,)
    else:
        got = q.strip(text, start, length)
        assert type(got) is str and got == expected
        # A new object, even for an empty range (one-character strings may
        # be the interpreter's shared singletons).
        assert len(got) < 2 or got is not text


def _random_texts(count, seed):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        parts = [qvref.random_host(rng)]
        for _ in range(rng.choice([0, 1, 1, 1, 2, 3])):
            payload = qvref.random_payload(rng)
            roll = rng.random()
            if roll < 0.15:
                piece = carry(header(len(payload) + 3) + payload)  # damaged
            elif roll < 0.4:
                piece = wrapper(payload, qvref.padding_for(payload))
            else:
                piece = wrapper(payload)
            parts += [piece, qvref.random_host(rng)]
        out.append("".join(parts))
    return out


@pytest.mark.parametrize("text", _random_texts(80, 1357), ids=range(80))
def test_random_texts_against_reference(text):
    rng = random.Random(utf8len(text))
    expected = qvref.extract(text)
    if isinstance(expected, str):
        e = raised(lambda: q.extract(text))
        assert type(e) is ValueError and e.args == (expected,)
    else:
        assert q.extract(text) == expected
    ranges = qvref.locate_all(text)
    assert q.locate_all(text) == ranges
    for start, length in ranges:
        assert q.strip(text, start, length) == qvref.strip(text, start, length)
    n = utf8len(text)
    for _ in range(12):
        start = rng.randint(0, n + 1)
        length = rng.randint(0, n + 1 - start)
        want = qvref.strip(text, start, length)
        if want is None:
            e = raised(lambda: q.strip(text, start, length))
            assert type(e) is ValueError and e.args == (MAL,)
        else:
            assert q.strip(text, start, length) == want
