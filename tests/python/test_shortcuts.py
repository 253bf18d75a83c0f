"""The fast paths give exactly what the plain paths give.

embed skips the host's UTF-8 conversion for an exact ASCII str; the data
hash digests the kept text in place when the wrapper sits at either end and
the text is already in NFC. Each is compared here with the path it stands in
for: a str subclass (which never takes the shortcut), and the independent
model of the hashed bytes.
"""
import random

import pytest

import quorvane
import qvref
from qvref import raised


class Str(str):
    pass


class LyingAscii(str):
    def isascii(self):
        return True


HOSTS = [
    "",
    "plain ASCII host",
    "x" * 5000,
    "caf\u00e9 host",
    "\u4e2d\u6587 host",
    "emoji \U0001f600 host",
    "marker \ufeff and selector \ufe0f in host",
]


@pytest.mark.parametrize("host", HOSTS)
@pytest.mark.parametrize("payload", [b"", b"abc", bytes(range(256))])
def test_embed_shortcut_matches_plain_path(host, payload):
    fast = quorvane.embed(host, payload)
    assert fast == quorvane.embed(Str(host), payload)
    assert fast == host + qvref.wrapper(payload)


def test_embed_never_trusts_a_subclass_isascii():
    with pytest.raises(UnicodeEncodeError):
        quorvane.embed(LyingAscii("a\ud800"), b"p")


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("where", ["end", "start", "middle"])
def test_data_hash_in_place_path_matches_model(seed, where):
    rng = random.Random(seed)
    host = qvref.random_host(rng, 30)
    if rng.random() < 0.5:  # half the hosts are plain ASCII, already in NFC
        host = "".join(c for c in host if c < "\x80")
    wrapper = quorvane.encode(qvref.random_payload(rng))
    # A trailing selector would join the wrapper's run; keep the cut clean.
    tail = "." if where != "end" else ""
    text = {"end": host + wrapper, "start": wrapper + tail + host,
            "middle": host[: len(host) // 2] + wrapper + tail + host[len(host) // 2:]}[where]
    if len(qvref.scan(text)[0]) != 1:
        pytest.skip("random host formed a second wrapper")
    for alg in ("sha256", "sha512"):
        expected = qvref.data_hash(text, alg)
        assert quorvane.compute_data_hash(text, alg) == expected
        quorvane.verify_data_hash(text, expected["hash"], expected["exclusions"], alg)


# Long texts that are not all ASCII are read as code points a chunk at a
# time (qvref.CHUNK characters each, from qvref.STREAM_FROM characters). A
# wrapper a few characters in leaves strip a part on either side of it within
# its first chunk; one a few characters before a chunk's end straddles it.
LONG = 1 << 20
PIECE = qvref.CHUNK


# A marker with a beginning of the magic behind it ("C2") is an ordinary
# character; chunks end at each place in the filler.
@pytest.mark.parametrize("filler", ["a", "\u00e9", "\u4e2d", "\U0001f600", "ab\ufeff\ufe0f",
                                    "a\ufeff", "ab\ufeff\U000e0133\U000e0122"])
@pytest.mark.parametrize("wrapper_at", [0, 3, PIECE - 3, PIECE - 1, PIECE, LONG // 2, None])
def test_long_text_conversion_matches_plain_path(filler, wrapper_at):
    host = filler * (LONG // len(filler) + 7)
    w = quorvane.encode(b"long text payload")
    at = len(host) if wrapper_at is None else wrapper_at
    text = host[:at] + w + "." + host[at:]
    raw = text.encode("utf-8")
    start = len(text[:at].encode("utf-8"))
    length = len(w.encode("utf-8"))
    assert quorvane.locate_all(text) == [(start, length)]
    assert quorvane.extract(text)["start"] == start
    stripped = quorvane.strip(text, start, length)
    assert stripped.encode("utf-8") == raw[:start] + raw[start + length:]
    d = quorvane.compute_data_hash(text)
    assert d == qvref.data_hash(text)
    # verification streams the text up to the marker or the first exclusion
    assert quorvane.verify_data_hash(text, d["hash"], d["exclusions"]) is None
    for excl in ([(0, 0)] + d["exclusions"], d["exclusions"] + [(start + length, 1)]):
        digest = qvref.digest("sha256", text, excl)
        assert quorvane.verify_data_hash(text, digest, tuple(excl)) is None
        with pytest.raises(ValueError, match="mismatch"):
            quorvane.verify_data_hash(text, digest[:-1] + bytes([digest[-1] ^ 1]), excl)
    with pytest.raises(ValueError, match="malformed"):
        quorvane.verify_data_hash(text, d["hash"], d["exclusions"] + [(start, 1)])


@pytest.mark.parametrize("where", [0, PIECE - 1, PIECE, LONG - 1, LONG + 5])
def test_long_text_with_lone_surrogate_raises_the_interpreters_error(where):
    text = "a" * (LONG + 10)
    text = text[:where] + "\ud800" + text[where + 1:]
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    for fn in (quorvane.locate_all, quorvane.extract, quorvane.compute_data_hash,
               lambda t: quorvane.strip(t, 0, 0)):
        with pytest.raises(UnicodeEncodeError) as got:
            fn(text)
        assert str(got.value) == str(expected.value)
        assert got.value.start == expected.value.start == where


def _edge_text(n, filler, wrapper_at):
    """n characters of filler with a wrapper placed at wrapper_at."""
    w = quorvane.encode(b"edge")
    host = (filler * (n // len(filler) + 1))[: n - len(w)]
    at = min(wrapper_at, len(host))
    return host[:at] + w + host[at:]


_S, _C = qvref.STREAM_FROM, qvref.CHUNK
# Characters 2 bytes wide, so that kReleaseGilFrom bytes is a character count.
_G = qvref.RELEASE_GIL_FROM // 2


@pytest.mark.parametrize("n", [_S - 1, _S, _S + 1, (_S + _C) // 2, _C - 1, _C, _C + 1,
                               2 * _C - 1, 2 * _C, 2 * _C + 1, _G - 1, _G, _G + 1])
@pytest.mark.parametrize("filler", ["\u00e9", "a\u00e9\U0001f600"])
def test_lengths_at_the_thresholds_hash_like_the_model(n, filler):
    # At and on either side of the streaming threshold and of each chunk
    # edge (the middle one is streamed and fits one chunk), and of the lock
    # release in bytes: the streamed and the whole paths give the model's
    # hash, and verify it.
    text = _edge_text(n, filler, n // 3)
    assert len(text) == n
    expected = qvref.data_hash(text)
    assert quorvane.compute_data_hash(text) == expected
    assert quorvane.verify_data_hash(text, expected["hash"], expected["exclusions"]) is None
    start, length = expected["exclusions"][0]
    assert quorvane.locate_all(text) == [(start, length)]
    assert quorvane.extract(text)["start"] == start
    bad = expected["hash"][:-1] + bytes([expected["hash"][-1] ^ 1])
    with pytest.raises(ValueError, match="mismatch"):
        quorvane.verify_data_hash(text, bad, expected["exclusions"])


@pytest.mark.parametrize("chunks", [1, 2, 3])
def test_marker_ending_every_chunk_is_hashed_like_the_model(chunks):
    # A U+FEFF that ends a chunk waits for the next one to show whether a
    # selector follows; here none does, until the wrapper.
    text = ("\u00e9" * (_C - 1) + "\ufeff") * chunks + "x" + quorvane.encode(b"w")
    expected = qvref.data_hash(text)
    assert quorvane.compute_data_hash(text) == expected
    assert quorvane.verify_data_hash(text, expected["hash"], expected["exclusions"]) is None


@pytest.mark.parametrize("edge", [_C, 2 * _C])
@pytest.mark.parametrize("offset", [-3, -2, -1, 0, 1])
@pytest.mark.parametrize("sequence", ["e\u0301", "e\u0327\u0301", "\u1100\u1161\u11a8",
                                      "a\u0301\u0316", "\u0344"])
def test_combining_sequence_across_a_chunk_edge_normalises_like_the_model(edge, offset,
                                                                           sequence):
    # A sequence that NFC composes or reorders, begun a few characters
    # before a chunk's edge, with the wrapper after it.
    text = "\u00e9" * (edge + offset) + sequence + "\u00e9" * 10
    text = text[: edge + 20] + quorvane.encode(b"x") + text[edge + 20:]
    expected = qvref.data_hash(text)
    assert quorvane.compute_data_hash(text) == expected
    assert quorvane.verify_data_hash(text, expected["hash"], expected["exclusions"]) is None


# strip reads its text STRIP_PIECE characters at a time.
STRIP_PIECE = 1 << 18


@pytest.mark.parametrize("wide", ["\U0001f600", "\u00e9"])
def test_strip_of_long_texts_at_every_offset_near_piece_edges(wide):
    # strip reads the str's code points a piece at a time, and joins its
    # result from those pieces outside the range; offsets near the edges of
    # ASCII, Latin-1, BMP and astral pieces, inside characters or not, in a
    # str with astral characters or without.
    p = STRIP_PIECE
    text = "a" * p + "\u00e9" * p + "x\u4e2d" * (p // 2) + wide * p + "b" * 3
    data = text.encode("utf-8")
    edges = [len(text[:k * p].encode("utf-8")) for k in range(5)] + [len(data)]
    for edge in edges:
        for start in range(max(0, edge - 5), min(len(data) + 2, edge + 6)):
            for length in {0, 1, 3, 4, max(0, len(data) - start), len(data) - start + 1}:
                want = qvref.strip(text, start, length)
                if want is None:
                    e = raised(lambda: quorvane.strip(text, start, length))
                    assert type(e) is ValueError and e.args == (qvref.MALFORMED,)
                else:
                    assert quorvane.strip(text, start, length) == want, (start, length)
