"""Pure-Python model of the text wrapper format and of the data hash.

The tests use it as their oracle: it works on the UTF-8 bytes of a text and
never calls into quorvane, so the extension module is checked against an
independent reading of the format rather than against itself.
"""
import ast
import hashlib
import os
import re
import unicodedata

import pytest

MAGIC = b"C2PATXT\x00"
MARKER_BYTES = b"\xef\xbb\xbf"

NOT_FOUND = "no C2PA text manifest wrapper found"
CORRUPTED = ("wrapper candidate detected but it did not fully decode "
             "[manifest.text.corruptedWrapper]")
MULTIPLE = "more than one valid wrapper found [manifest.text.multipleWrappers]"
MALFORMED = ("data hash exclusion range is malformed "
             "[assertion.dataHash.malformed]")
MISMATCH = ("data hash does not match the asset content "
            "[assertion.dataHash.mismatch]")



def _thresholds():
    """The sizes at which the module changes its way of working, read from
    thresholds.hpp (beside these tests when they are copied alone, else in
    the source tree), so that the edge rows follow the constants."""
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(here, "thresholds.hpp"),
                 os.path.join(here, "..", "..", "include", "quorvane", "internal",
                              "thresholds.hpp")):
        if os.path.exists(path):
            break
    else:
        raise RuntimeError("thresholds.hpp is neither beside the tests nor in the "
                           "source tree above them")
    with open(path, encoding="utf-8") as f:
        source = f.read()
    found = {}
    line = re.compile(r"^inline constexpr std::size_t (k\w+) = ([^;]+);", re.M)
    for name, expr in line.findall(source):
        expr = re.sub(r"std::size_t\{(\d+)\}", r"\1", expr)
        tree = ast.parse(expr, mode="eval")
        allowed = (ast.Expression, ast.BinOp, ast.Constant, ast.LShift, ast.Mult, ast.Add)
        if not all(isinstance(n, allowed) for n in ast.walk(tree)):
            raise RuntimeError("%s: cannot read %s = %s" % (path, name, expr))
        found[name] = eval(compile(tree, path, "eval"))  # integers, << * + only
    wanted = ("kStreamFrom", "kChunk", "kReleaseGilFrom", "kShortText")
    missing = [n for n in wanted if n not in found]
    if missing:
        raise RuntimeError("%s does not define %s" % (path, ", ".join(missing)))
    return found


THRESHOLDS = _thresholds()
STREAM_FROM = THRESHOLDS["kStreamFrom"]  # characters: read a chunk at a time
CHUNK = THRESHOLDS["kChunk"]  # code points read in one chunk
RELEASE_GIL_FROM = THRESHOLDS["kReleaseGilFrom"]  # bytes: the lock is released
SHORT_TEXT = THRESHOLDS["kShortText"]  # characters: transcoded on the stack


def raised(call):
    """The exception that call() raises, whatever its type."""
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def unsupported(name):
    return "unsupported hash algorithm: %s [algorithm.unsupported]" % name


def too_large(n):
    return "payload of %d bytes exceeds the u32 manifestLength field" % n


def selector(byte):
    """The variation selector that carries one byte."""
    if byte < 0x10:
        return chr(0xFE00 + byte)
    return chr(0xE0100 + byte - 0x10)


def carry(data):
    """Marker followed by one selector per byte."""
    return "\ufeff" + "".join(selector(b) for b in data)


def header(n, version=1):
    return MAGIC + bytes([version]) + n.to_bytes(4, "big")


def wrapper(payload, padding=b""):
    return carry(header(len(payload)) + payload + padding)


def utf8len(s):
    return len(s.encode("utf-8"))


def padding_for(payload):
    """Padding bytes that stretch the wrapper to 4n + 61 bytes of UTF-8,
    using as few 4-byte selectors as possible."""
    gap = 4 * len(payload) + 61 - utf8len(wrapper(payload))
    four = gap % 3
    assert gap >= 4 * four
    return b"\x00" * ((gap - 4 * four) // 3) + b"\x10" * four


def _char_width(lead):
    if lead < 0x80:
        return 1
    if lead < 0xE0:
        return 2
    if lead < 0xF0:
        return 3
    return 4


def decode_run(data, pos):
    """Bytes carried by the selector run at data[pos:], and its byte size."""
    out = bytearray()
    p = pos
    while p < len(data):
        width = _char_width(data[p])
        cp = ord(data[p:p + width].decode("utf-8"))
        if 0xFE00 <= cp <= 0xFE0F:
            out.append(cp - 0xFE00)
        elif 0xE0100 <= cp <= 0xE01EF:
            out.append(cp - 0xE0100 + 0x10)
        else:
            break
        p += width
    return bytes(out), p - pos


def scan(text):
    """Every valid wrapper as (start, length, payload), and whether any
    marker is followed by a run that begins with the full magic."""
    data = text.encode("utf-8")
    found = []
    magic_seen = False
    pos = 0
    while True:
        m = data.find(MARKER_BYTES, pos)
        if m < 0:
            return found, magic_seen
        run, consumed = decode_run(data, m + 3)
        if run[:8] == MAGIC:
            magic_seen = True
            if len(run) >= 13 and run[8] == 1:
                n = int.from_bytes(run[9:13], "big")
                if len(run) >= 13 + n:
                    found.append((m, 3 + consumed, run[13:13 + n]))
        pos = m + 3 + consumed


def locate_all(text):
    return [(s, n) for s, n, _ in scan(text)[0]]


def extract(text):
    """The dict quorvane.extract should return, None, or the ValueError
    message it should raise."""
    found, magic_seen = scan(text)
    if len(found) > 1:
        return MULTIPLE
    if found:
        start, length, payload = found[0]
        return {"payload": payload, "version": 1, "start": start,
                "length": length}
    return CORRUPTED if magic_seen else None


def is_boundary(data, offset):
    return offset == 0 or offset == len(data) or (
        offset < len(data) and not 0x80 <= data[offset] <= 0xBF)


def strip(text, start, length):
    """The stripped str, or None when the range is malformed."""
    data = text.encode("utf-8")
    end = start + length
    if end > len(data) or not is_boundary(data, start) \
            or not is_boundary(data, end):
        return None
    return (data[:start] + data[end:]).decode("utf-8")


def hashed_text(text, exclusions):
    """NFC of the text with the ranges removed, or None when malformed."""
    data = text.encode("utf-8")
    kept = []
    cursor = 0
    for start, length in exclusions:
        end = start + length
        if start < cursor or end > len(data) or not is_boundary(data, start) \
                or not is_boundary(data, end):
            return None
        kept.append(data[cursor:start])
        cursor = end
    kept.append(data[cursor:])
    return unicodedata.normalize("NFC", b"".join(kept).decode("utf-8"))


def digest(alg, text, exclusions):
    return hashlib.new(alg, hashed_text(text, exclusions).encode("utf-8")).digest()


def data_hash(text, alg="sha256"):
    """The dict compute_data_hash should return for a text with one wrapper."""
    found = scan(text)[0]
    assert len(found) == 1, "test text must carry exactly one wrapper"
    exclusions = [found[0][:2]]
    return {"alg": alg, "hash": digest(alg, text, exclusions),
            "exclusions": exclusions}


# Characters for random host texts: all assigned long before Unicode 13.0
# with normalisation behaviour that has not changed since, so NFC agrees
# between interpreters and the library's own tables.
HOST_POOLS = [
    "abcdefghijklmnopqrstuvwxyz ABCXYZ 0123456789 .,;!?-",
    "\u00e9\u00e8\u00fc\u00f6\u00df\u00f1\u00e7\u00c5\u00d8\u00e6\u0153",
    "\u03b1\u03b2\u03b3\u03b4\u03b5\u03c9\u0391\u0394\u1f00\u0390",
    "\u0430\u0431\u0432\u0433\u0434\u0439\u0451\u0416",
    "\u4e2d\u6587\u5b57\u6f22\u65e5\u672c\u8a9e\u304b\u306a\u30ab\u30ca",
    "\ud55c\uad6d\uc5b4\uae00\uc790\uac00\ud7a3",
    "\u1100\u1112\u1161\u1175\u11a8\u11c2",
    "\u0301\u0308\u0323\u0327\u030a\u0344\u0345\u05b0",
    "\u212b\u2126\u0958\u2000\ufb01\u00c5",
    "\U0001f600\U0001f680\U0001f44d\u2764\U0001f1ef\U0001f1f5",
    "\u0915\u093e\u093f\u094d\u0930",
    "\ufeff",
    "\ufe00\ufe0f\U000e0100\U000e01ef",
]


def random_host(rng, max_len=12):
    return "".join(rng.choice(rng.choice(HOST_POOLS))
                   for _ in range(rng.randint(0, max_len)))


def random_payload(rng, max_len=40):
    n = rng.randint(0, max_len)
    flavour = rng.randrange(3)
    if flavour == 0:
        return bytes(rng.randrange(16) for _ in range(n))
    if flavour == 1:
        return bytes(rng.randrange(16, 256) for _ in range(n))
    return bytes(rng.randrange(256) for _ in range(n))
