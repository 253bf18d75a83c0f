"""Benchmarks of the quorvane module, printed as one table.

    python bench/bench_module.py [--mib 64] [--repeat 5] [--plot FILE.png]

Each row gives the median time per call over --repeat runs, and a throughput
where the workload has a size; baselines from the standard library run in the
same process, on the same data. The peak-memory rows run each data-hash call
in a child process and report the growth of its resident set during the call
as a multiple of the text's UTF-8 size (Linux only).
"""
import argparse
import hashlib
import os
import pickle
import statistics
import subprocess
import sys
import time
import timeit
import unicodedata

import quorvane

ROWS = []


def median_time(fn, repeat, number=1):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t0) / number)
    return statistics.median(times)


def call_time(fn, arg, repeat, number):
    """Median time of `fn(arg)` as a direct call in timeit's loop (no lambda)."""
    timer = timeit.Timer("f(a)", setup="f = F; a = A", globals={"F": fn, "A": arg})
    return statistics.median(t / number for t in timer.repeat(repeat, number))


def row(name, seconds, size=None, baseline=None):
    ROWS.append((name, seconds, size, baseline))


def fmt_time(s):
    if s < 1e-6:
        return "%.0f ns" % (s * 1e9)
    if s < 1e-3:
        return "%.2f us" % (s * 1e6)
    if s < 1:
        return "%.2f ms" % (s * 1e3)
    return "%.2f s" % s


NFD = lambda s: unicodedata.normalize("NFD", s)  # noqa: E731

# One repeating unit per corpus; each corpus is the unit repeated to the size.
UNITS = {
    "ascii": "The quick brown fox jumps over the lazy dog; provenance travels. ",
    "latin-nfc": "Cr\u00e8me br\u00fbl\u00e9e, fa\u00e7ade, na\u00efve r\u00e9sum\u00e9; "
                 "\u00c6r\u00f8sk\u00f8bing \u2014 d\u00e9j\u00e0 vu. ",
    "latin-nfd": NFD("Cr\u00e8me br\u00fbl\u00e9e, fa\u00e7ade, na\u00efve r\u00e9sum\u00e9 "
                     "\u2014 d\u00e9j\u00e0 vu. "),
    "vietnamese-nfd": NFD("Ngu\u1ed3n g\u1ed1c \u0111i c\u00f9ng v\u1edbi ng\u00f4n t\u1eeb; "
                          "Vi\u1ec7t Nam, ti\u1ebfng Vi\u1ec7t. "),
    "hangul": "\ucd9c\ucc98\ub294 \uae00\uacfc \ud568\uaed8 \uc5ec\ud589\ud55c\ub2e4. ",
    "hangul-jamo": NFD("\ucd9c\ucc98\ub294 \uae00\uacfc \ud568\uaed8 \uc5ec\ud589\ud55c\ub2e4. "),
    "cjk": "\u51fa\u81ea\u306f\u8a00\u8449\u3068\u3068\u3082\u306b\u65c5\u3092\u3059\u308b\u3002"
           "\u6765\u6b74\u60c5\u5831\u306f\u6587\u7ae0\u3068\u5171\u306b\u3042\u308b\u3002",
    "emoji": "\U0001f469\u200d\U0001f4bb \u2764\ufe0f \U0001f44d\U0001f3fd "
             "\U0001f1fa\U0001f1e6 \U0001f468\u200d\U0001f469\u200d\U0001f467 ",
    "mixed": "Provenance \u00e9 " + NFD("\u00e9t\u00e9 ") + "\u51fa\u81ea "
             + "\ucd9c\ucc98 " + NFD("\ud55c ") + "\u0645\u0635\u062f\u0631 "
             + NFD("Vi\u1ec7t ") + "\U0001f4dc\u270d\ufe0f ",
    "dense-markers": "ab\ufeffc\ufe0f\U000e0100d\ufeff\U000e0133\U000e0122x",
    # One run of marks, half of which decompose into two marks each: the
    # worst case for canonical ordering.
    "marks": "\u0316\u0344",
    # The demo's sample: one sentence in eight languages and scripts.
    "real": open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples",
                              "data", "sample.txt"), encoding="utf-8").read(),
}

# The data-hash summary: each corpus (16 MiB and a 4 KiB padded wrapper)
# against the one line a Python user could write instead, and the factor
# (one-liner time / ours) the performance issue asks for.
SUMMARY = [("ascii", 1.8), ("latin-nfc", 2.0), ("cjk", 1.3), ("hangul", 1.8), ("emoji", 1.6),
           ("latin-nfd", 1.8), ("vietnamese-nfd", 1.8), ("hangul-jamo", 1.3), ("mixed", 5.0),
           ("real", 6.0)]


def one_liner(text, n):
    return hashlib.sha256(unicodedata.normalize("NFC", text[:n]).encode()).digest()


def summary(repeat, plot):
    w = quorvane.encode_padded(b"m" * 1024)
    out = []
    for kind, required in SUMMARY:
        text = corpus(kind, 16) + w
        n = len(text) - len(w)
        raw = text[:n].encode("utf-8")
        assert quorvane.compute_data_hash(text)["hash"] == one_liner(text, n)
        ours = median_time(lambda: quorvane.compute_data_hash(text), repeat)
        line = median_time(lambda: one_liner(text, n), repeat)
        floor = median_time(lambda: hashlib.sha256(raw).digest(), repeat)
        out.append((kind, len(raw), ours, line, floor, required))
        del text, raw
    print()
    print("data hash, 16 MiB + 4 KiB padded wrapper: ours vs "
          "sha256(NFC(text[:n]).encode()) in the same run")
    print("%-16s %10s %10s %12s %7s %9s %s" % ("corpus", "ours", "one-liner", "sha256 floor",
                                              "x", "required", "met"))
    for kind, size, ours, line, floor, required in out:
        x = line / ours
        print("%-16s %10s %10s %12s %7.2f %9s %s" % (
            kind, fmt_time(ours), fmt_time(line), fmt_time(floor), x, ">= %.1f" % required,
            "yes" if x >= required else "no"))

    # Two threads, each hashing its own 16 MiB text, against the same two
    # calls one after the other.
    a = corpus("cjk", 16) + w
    b = corpus("latin-nfc", 16) + w

    seq, par = two_threads(quorvane.compute_data_hash, (a, b), repeat)
    print("%-16s %10s %10s %12s %7.2f %9s %s" % (
        "two threads", fmt_time(par), fmt_time(seq), "(sequential)", par / seq, "<= 0.62",
        "yes" if par / seq <= 0.62 else "no"))
    # The machine's own floor for the same shape of work: hashlib hashing
    # the two texts' UTF-8 in two threads (it holds no lock while it hashes)
    # against one after the other.
    raw = [t.encode("utf-8") for t in (a, b)]
    sha_seq, sha_par = two_threads(lambda r: hashlib.sha256(r).digest(), raw, repeat)
    print("%-16s %10s %10s %12s %7.2f   (hashlib.sha256 of the same UTF-8, floor)" % (
        "two threads", fmt_time(sha_par), fmt_time(sha_seq), "(sequential)", sha_par / sha_seq))
    if plot:
        draw(out, plot)


def two_threads(fn, args, repeat):
    """Median times of fn over each of args one after the other, and of the
    same calls in a thread each."""
    def sequential():
        for x in args:
            fn(x)

    def threaded():
        import threading
        ts = [threading.Thread(target=fn, args=(x,)) for x in args]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    return median_time(sequential, repeat), median_time(threaded, repeat)


def draw(out, path):
    """A bar chart of throughput per corpus, ours beside the one-liner's."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    kinds = [o[0] for o in out]
    xs = range(len(kinds))
    fig, ax = plt.subplots(figsize=(10, 4.5))
    ax.bar([x - 0.27 for x in xs], [o[1] / o[2] / 1e6 for o in out], 0.27, label="compute_data_hash")
    ax.bar(list(xs), [o[1] / o[3] / 1e6 for o in out], 0.27,
           label="sha256(NFC(text).encode())")
    ax.bar([x + 0.27 for x in xs], [o[1] / o[4] / 1e6 for o in out], 0.27,
           label="hashlib.sha256 of the UTF-8 alone")
    ax.set_xticks(list(xs))
    ax.set_xticklabels(kinds, rotation=30, ha="right")
    ax.set_ylabel("MB/s of UTF-8 (higher is faster)")
    ax.set_title("Data hash throughput per corpus, 16 MiB each, one run")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print("chart written to", path)


def corpus(kind, mib):
    size = mib << 20
    unit = UNITS[kind]
    unit_bytes = len(unit.encode("utf-8"))
    return unit * (size // unit_bytes)


def peak_ratio(kind, mib, call):
    """Runs one data-hash call in a child and returns peak RSS growth / text size."""
    code = r"""
import sys, gc, quorvane
sys.path.insert(0, %r)
from bench_module import corpus
text = corpus(%r, %d) + quorvane.encode(b"m" * 1024)
size = len(text.encode("utf-8"))
d = quorvane.compute_data_hash(text)
gc.collect()
# Hand the freed buffers of the call above back to the system, so that the
# measured call has to fault its own memory in.
import ctypes
ctypes.CDLL("libc.so.6").malloc_trim(0)
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = rss("VmRSS:")
%s
print((rss("VmHWM:") - base) / size)
""" % (os.path.dirname(os.path.abspath(__file__)), kind, mib, call)
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True)
        return float(out.stdout.strip())
    except (subprocess.CalledProcessError, ValueError, OSError):
        return None


def print_rows():
    print("%-44s %12s %12s   %s" % ("workload", "time/call", "MB/s", "baseline (same run)"))
    for name, s, size, base in ROWS:
        mbs = "%.0f" % (size / s / 1e6) if size else ""
        b = "%s: %s" % (base[0], fmt_time(base[1])) if base else ""
        print("%-44s %12s %12s   %s" % (name, fmt_time(s), mbs, b))


def reading_rows(mib, r):
    """Small reading and data-hash calls, pickling of the functions, and strip
    over large texts.

    Floors: a builtin's call through the same timeit loop, encoding the short
    text, digesting its visible part with hashlib, pickling a builtin of the
    interpreter, and strip done in Python through UTF-8.
    """
    short = "A short caption." + quorvane.encode(b"m" * 64)
    row("extract(short text)", call_time(quorvane.extract, short, r, 50000),
        baseline=("abs(0)", call_time(abs, 0, r, 50000)))
    row("  floor: short text .encode('utf-8')", call_time(str.encode, short, r, 50000))
    row("compute_data_hash(short text)", call_time(quorvane.compute_data_hash, short, r, 50000),
        baseline=("len(short)", call_time(len, short, r, 50000)))
    row("  floor: hashlib.sha256(16 bytes).digest()",
        call_time(lambda b: hashlib.sha256(b).digest(), b"A short caption.", r, 50000))
    row("pickle round trip of quorvane.extract",
        median_time(lambda: pickle.loads(pickle.dumps(quorvane.extract)), r, 20000),
        baseline=("of len", median_time(lambda: pickle.loads(pickle.dumps(len)), r, 20000)))

    def python_strip(text, start, length):
        raw = text.encode("utf-8")
        return (raw[:start] + raw[start + length:]).decode("utf-8")

    w1k = quorvane.encode(b"m" * 1024)
    for kind in ("ascii", "dense-markers"):
        host = corpus(kind, mib)
        for where, text in (("end", host + w1k), ("middle", host[:len(host) // 2] + w1k
                                                  + host[len(host) // 2:])):
            start, length = quorvane.locate_all(text)[0]
            size = len(text.encode("utf-8"))
            assert quorvane.strip(text, start, length) == python_strip(text, start, length)
            row("strip(%d MiB %s, wrapper at %s)" % (mib, kind, where),
                median_time(lambda: quorvane.strip(text, start, length), r), size=size,
                baseline=("in Python via UTF-8",
                          median_time(lambda: python_strip(text, start, length), r)))
            if where == "end":
                # The same result from the interpreter's own slice: what
                # building a str of that size out of this one costs.
                cut = len(host)
                row("  floor: text[:%d] (same result)" % cut,
                    median_time(lambda: text[:cut], r), size=size)
            del text
        del host


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--reading", action="store_true",
                    help="only the rows of reading_rows (extract, pickling, strip)")
    ap.add_argument("--only-summary", action="store_true",
                    help="print only the data-hash summary against the one-liner")
    ap.add_argument("--plot", metavar="PNG", help="also draw the summary as a chart")
    args = ap.parse_args()
    r = args.repeat
    if args.only_summary:
        summary(r, args.plot)
        return

    reading_rows(args.mib, r)
    if args.reading:
        print_rows()
        return

    # Small calls.
    row("encode(b'')", call_time(quorvane.encode, b"", r, 200000),
        baseline=("len(b'')", call_time(len, b"", r, 200000)))
    row("target_length(0)", call_time(quorvane.target_length, 0, r, 200000),
        baseline=("abs(0)", call_time(abs, 0, r, 200000)))

    # Encoding.
    for label, n, number in (("1 KiB", 1 << 10, 2000), ("1 MiB", 1 << 20, 5),
                             ("16 MiB", 16 << 20, 1)):
        payload = bytes(range(256)) * (n // 256)
        out_bytes = len(quorvane.encode(payload).encode("utf-8"))
        row("encode(%s)" % label, median_time(lambda: quorvane.encode(payload), r, number),
            size=out_bytes)
        row("encode_padded(%s)" % label,
            median_time(lambda: quorvane.encode_padded(payload), r, number), size=out_bytes)

    host = corpus("ascii", args.mib)
    p1k = b"m" * 1024
    w1k = quorvane.encode(p1k)
    row("embed(%d MiB ASCII host, 1 KiB)" % args.mib,
        median_time(lambda: quorvane.embed(host, p1k), r),
        baseline=("host + encode(p)", median_time(lambda: host + quorvane.encode(p1k), r)))

    # Reading.
    signed = host + w1k
    size = len(signed.encode("utf-8"))
    row("locate_all(%d MiB ASCII)" % args.mib, median_time(lambda: quorvane.locate_all(signed), r),
        size=size, baseline=("str.encode", median_time(lambda: signed.encode("utf-8"), r)))
    raw = signed.encode("utf-8")
    row("  stdlib: bytes.decode (%d MiB ASCII + wrapper)" % args.mib,
        median_time(lambda: raw.decode("utf-8"), r), size=size)
    del raw
    row("extract(%d MiB ASCII)" % args.mib, median_time(lambda: quorvane.extract(signed), r),
        size=size)
    dense = corpus("dense-markers", args.mib) + w1k
    row("locate_all(%d MiB dense markers)" % args.mib,
        median_time(lambda: quorvane.locate_all(dense), r), size=len(dense.encode("utf-8")))
    del dense

    # The data hash, over every corpus with a 1 KiB wrapper at its end.
    for kind in UNITS:
        text = corpus(kind, args.mib) + w1k
        raw = text.encode("utf-8")
        size = len(raw)
        d = quorvane.compute_data_hash(text)
        start, length = d["exclusions"][0]
        kept = raw[:start] + raw[start + length:]
        plain = kept.decode("utf-8")
        digest256 = median_time(lambda: hashlib.sha256(kept).digest(), r)
        digest512 = median_time(lambda: hashlib.sha512(kept).digest(), r)
        row("compute_data_hash sha256 (%s)" % kind,
            median_time(lambda: quorvane.compute_data_hash(text), r), size=size,
            baseline=("hashlib.sha256 alone", digest256))
        row("verify_data_hash sha256 (%s)" % kind,
            median_time(lambda: quorvane.verify_data_hash(text, d["hash"], d["exclusions"]), r),
            size=size, baseline=("str.encode", median_time(lambda: text.encode("utf-8"), r)))
        row("compute_data_hash sha512 (%s)" % kind,
            median_time(lambda: quorvane.compute_data_hash(text, "sha512"), r), size=size,
            baseline=("hashlib.sha512 alone", digest512))
        if kind == "marks":
            # unicodedata orders marks quadratically: hours on this corpus.
            del text, raw, kept, plain
            continue
        row("  stdlib: sha256(NFC(text).encode()) (%s)" % kind,
            median_time(lambda: hashlib.sha256(
                unicodedata.normalize("NFC", plain).encode("utf-8")).digest(), 1),
            size=size, baseline=("unicodedata.normalize alone",
                                 median_time(lambda: unicodedata.normalize("NFC", plain), 1)))
        del text, raw, kept, plain

    print_rows()

    summary(r, args.plot)

    if not args.no_memory and sys.platform.startswith("linux"):
        print()
        print("%-44s %s" % ("peak memory during the call", "x text UTF-8 size"))
        for kind in ("ascii", "latin-nfd", "mixed", "cjk", "marks"):
            for fn, call in (
                ("compute_data_hash", "quorvane.compute_data_hash(text)"),
                ("verify_data_hash",
                 "quorvane.verify_data_hash(text, d['hash'], d['exclusions'])"),
            ):
                ratio = peak_ratio(kind, args.mib, call)
                print("%-44s %s" % ("%s (%s)" % (fn, kind),
                                    "%.2f" % ratio if ratio is not None else "n/a"))


if __name__ == "__main__":
    main()
