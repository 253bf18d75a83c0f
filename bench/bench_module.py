"""Benchmarks of the quorvane module, printed as one table.

    python bench/bench_module.py [--mib 64] [--repeat 5]

Each row gives the median time per call over --repeat runs, and a throughput
where the workload has a size; baselines from the standard library run in the
same process, on the same data. The peak-memory rows run each data-hash call
in a child process and report the growth of its resident set during the call
as a multiple of the text's UTF-8 size (Linux only).
"""
import argparse
import hashlib
import os
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


def corpus(kind, mib):
    size = mib << 20
    unit = {
        "ascii": "The quick brown fox jumps over the lazy dog; provenance travels. ",
        "latin-nfc": "Crème brûlée, façade, naïve résumé; Ærøskøbing — déjà vu. ",
        "latin-nfd": unicodedata.normalize("NFD", "Crème brûlée, façade, naïve résumé — déjà vu. "),
        "cjk": "出自は言葉とともに旅をする。来歴情報は文章と共にある。",
    }[kind]
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--no-memory", action="store_true")
    args = ap.parse_args()
    r = args.repeat

    # Small calls.
    row("encode(b'')", call_time(quorvane.encode, b"", r, 200000),
        baseline=("len(b'')", call_time(len, b"", r, 200000)))
    row("target_length(0)", call_time(quorvane.target_length, 0, r, 200000),
        baseline=("abs(0)", call_time(abs, 0, r, 200000)))
    short = "A short caption." + quorvane.encode(b"m" * 64)
    row("extract(short text)", call_time(quorvane.extract, short, r, 50000))
    row("compute_data_hash(short text)", call_time(quorvane.compute_data_hash, short, r, 50000),
        baseline=("hashlib.sha256(16 bytes)", call_time(hashlib.sha256, b"A short caption.", r,
                                                        50000)))

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
    row("extract(%d MiB ASCII)" % args.mib, median_time(lambda: quorvane.extract(signed), r),
        size=size)
    dense = ("ab\ufeffc\ufe0f\U000e0100d" * ((args.mib << 20) // 16)) + w1k
    row("locate_all(%d MiB dense markers)" % args.mib,
        median_time(lambda: quorvane.locate_all(dense), r), size=len(dense.encode("utf-8")))
    del dense

    # The data hash.
    for kind in ("ascii", "latin-nfc", "latin-nfd", "cjk"):
        text = corpus(kind, args.mib) + w1k
        raw = text.encode("utf-8")
        size = len(raw)
        d = quorvane.compute_data_hash(text)
        start, length = d["exclusions"][0]
        kept = raw[:start] + raw[start + length:]
        digest_only = median_time(lambda: hashlib.sha256(kept).digest(), r)
        row("sha256 digest alone (%s)" % kind, digest_only, size=size)
        for alg in ("sha256", "sha512"):
            row("compute_data_hash %s (%s)" % (alg, kind),
                median_time(lambda: quorvane.compute_data_hash(text, alg), r), size=size,
                baseline=("digest alone", digest_only if alg == "sha256" else
                          median_time(lambda: hashlib.sha512(kept).digest(), r)))
            dd = quorvane.compute_data_hash(text, alg)
            row("verify_data_hash %s (%s)" % (alg, kind),
                median_time(lambda: quorvane.verify_data_hash(text, dd["hash"], dd["exclusions"],
                                                              alg), r), size=size)
        plain = text[:len(raw[:start].decode("utf-8"))]
        row("hashlib+unicodedata sha256 (%s)" % kind,
            median_time(lambda: hashlib.sha256(
                unicodedata.normalize("NFC", plain).encode("utf-8")).digest(), max(1, r // 2)),
            size=size)
        del text, raw, kept

    # Print.
    print("%-44s %12s %12s   %s" % ("workload", "time/call", "MB/s", "baseline (same run)"))
    for name, s, size, base in ROWS:
        mbs = "%.0f" % (size / s / 1e6) if size else ""
        b = "%s: %s" % (base[0], fmt_time(base[1])) if base else ""
        print("%-44s %12s %12s   %s" % (name, fmt_time(s), mbs, b))

    if not args.no_memory and sys.platform.startswith("linux"):
        print()
        print("%-44s %s" % ("peak memory during the call", "x text UTF-8 size"))
        for kind in ("ascii", "latin-nfd"):
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
