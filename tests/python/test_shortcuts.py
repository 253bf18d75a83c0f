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
