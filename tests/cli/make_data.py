"""Writes the sample files of the CLI golden cases into tests/cli/data/.

The wrappers are built here from the byte format itself (magic, version,
big-endian manifestLength, one variation selector per byte), and the
bindings from hashlib over the NFC host text, never with quorvane, so the
golden outputs are checked against an independent construction. Run it
again only to change the samples: `python3 tests/cli/make_data.py`.
"""
import base64
import hashlib
import json
import pathlib
import unicodedata

DATA = pathlib.Path(__file__).resolve().parent / "data"
MAGIC = b"C2PATXT\x00"


def selector(byte):
    return chr(0xFE00 + byte) if byte < 0x10 else chr(0xE0100 + byte - 0x10)


def carry(data):
    return "\ufeff" + "".join(selector(b) for b in data)


def header(payload, version=1, length=None):
    n = len(payload) if length is None else length
    return MAGIC + bytes([version]) + n.to_bytes(4, "big") + payload


def encode(payload, padding=b""):
    return carry(header(payload) + padding)


def encode_padded(payload):
    gap = 4 * len(payload) + 61 - len(encode(payload).encode("utf-8"))
    b = gap % 3
    return encode(payload, b"\x00" * ((gap - 4 * b) // 3) + b"\x10" * b)


def utf8_len(text):
    return len(text.encode("utf-8"))


def binding(text, wrapper_start, wrapper, alg="sha256"):
    """The binding of `text` whose one wrapper `wrapper` starts at byte
    `wrapper_start`: the digest of the NFC remainder."""
    raw = text.encode("utf-8")
    end = wrapper_start + utf8_len(wrapper)
    kept = (raw[:wrapper_start] + raw[end:]).decode("utf-8")
    digest = hashlib.new(alg, unicodedata.normalize("NFC", kept).encode("utf-8")).digest()
    return {"alg": alg, "hash": base64.b64encode(digest).decode("ascii"),
            "exclusions": [{"start": wrapper_start, "length": utf8_len(wrapper)}]}


# A store with bytes on both sides of the selector width boundary (0x0F and
# 0x10) and the marker's own bytes EF BB BF inside it.
STORE = (b"\x00\x01\x0f\x10\xef\xbb\xbf" + b"jumbc2pa store for the CLI tests "
         + bytes(range(0xF0, 0x100)))

HOST = ("Provenance travels with the words.\n"
        "Die Herkunft reist mit den Wörtern.\n"
        "Происхождение путешествует вместе со словами.\n"
        "出自は言葉とともに旅をする。\n"
        "출처는 글과 함께 여행한다.\n"
        "المصدر يسافر مع الكلمات.\n"
        "स्रोत शब्दों के साथ यात्रा करता है।\n"
        "Nguồn gốc đi cùng với ngôn từ. 📜✍️\n")
assert unicodedata.is_normalized("NFC", HOST)

DECOMPOSED = "Cafe\u0301 in Saint-E\u0301tienne, Ha\u0300 No\u0323i.\n"
assert not unicodedata.is_normalized("NFC", DECOMPOSED)


def main():
    DATA.mkdir(exist_ok=True)
    files = {}
    plain, padded = encode(STORE), encode_padded(STORE)
    assert utf8_len(padded) == 4 * len(STORE) + 61
    hidden = encode(STORE, b"hidden words")
    start = utf8_len(HOST)

    files["store.bin"] = STORE
    files["host.txt"] = HOST
    files["decomposed.txt"] = DECOMPOSED
    files["signed.txt"] = HOST + plain
    files["padded.txt"] = HOST + padded
    files["hidden.txt"] = HOST + hidden
    files["tampered.txt"] = (HOST + plain).replace("words", "wards", 1)
    files["moved.txt"] = "X" + HOST + plain
    files["two.txt"] = HOST + plain + "between\n" + plain
    files["corrupted.txt"] = "Only a damaged wrapper: " + carry(header(b"abc", version=2)) + "\n"
    files["damaged.txt"] = (
        "\ufeffA byte-order mark, then damaged candidates:\n"
        + carry(MAGIC + b"\x01")                                   # header too short
        + " a " + carry(b"C2PATXX\x00\x01\x00\x00\x00\x00")        # wrong magic
        + " b " + carry(header(b"xyz", version=2))                 # version 2
        + " c " + carry(header(b"0123456789", length=100))         # length overrun
        + " d " + plain                                            # the valid one
        + " e " + plain[1:]                                        # a run without a marker
        + " end.\n")
    files["binding.json"] = json.dumps(binding(HOST + plain, start, plain)) + "\n"
    files["binding-padded-sha512.json"] = json.dumps(
        binding(HOST + padded, start, padded, "sha512")) + "\n"
    files["binding-hidden.json"] = json.dumps(binding(HOST + hidden, start, hidden)) + "\n"
    good = binding(HOST + plain, start, plain)
    files["binding-broken.json"] = json.dumps(good)[:40] + "\n"
    files["binding-md5.json"] = json.dumps(dict(good, alg="md5")) + "\n"
    files["binding-base64.json"] = json.dumps(dict(good, hash="not*base64")) + "\n"
    files["binding-pairs.json"] = json.dumps(
        dict(good, exclusions=[[start, utf8_len(plain)]])) + "\n"
    files["binding-empty.json"] = json.dumps(dict(good, exclusions=[])) + "\n"

    # The usual transport damage of signed.txt, for the diagnosis of verify
    # --explain: NFD, a final line end, a byte order mark, CRLF line ends,
    # the marker or the selectors stripped.
    signed = HOST + plain
    files["nfd.txt"] = unicodedata.normalize("NFD", signed)
    assert utf8_len(files["nfd.txt"]) > utf8_len(signed)
    files["newline.txt"] = signed + "\n"
    files["bom.txt"] = "\ufeff" + signed
    files["crlf.txt"] = signed.replace("\n", "\r\n")
    files["unmarked.txt"] = HOST + plain[1:]
    files["lone-marker.txt"] = HOST + "\ufeff"
    # A store that keeps 3-byte UTF-8 only drops every character above
    # U+FFFF, the 4-byte selectors too: a host without such characters
    # keeps its content.
    bmp = "".join(c for c in HOST if ord(c) <= 0xFFFF)
    files["binding-bmp.json"] = json.dumps(binding(bmp + plain, utf8_len(bmp), plain)) + "\n"
    files["narrowed.txt"] = bmp + "".join(c for c in plain if ord(c) <= 0xFFFF)

    # Ill-formed UTF-8; the comment gives the offset of the first bad sequence.
    files["invalid-byte.txt"] = "Provenance é ok ".encode() + b"\xff rest\n"   # 17
    files["invalid-surrogate.txt"] = b"ab\xed\xa0\x80cd\n"                     # 2
    files["invalid-overlong.txt"] = b"abc\xc0\xafd\n"                          # 3
    files["invalid-truncated.txt"] = "出".encode() + "自".encode()[:2]          # 3
    files["invalid-signed.txt"] = (HOST + plain).encode() + b"\x80"

    for name, content in files.items():
        data = content.encode("utf-8") if isinstance(content, str) else content
        (DATA / name).write_bytes(data)


if __name__ == "__main__":
    main()
