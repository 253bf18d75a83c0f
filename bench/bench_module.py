"""Benchmarks of the quorvane module, printed as tables.

    python bench/bench_module.py [--mib 16] [--repeat 5] [--corpus english,chinese]
                                 [--targets avx2,scalar] [--goal-target avx2]
                                 [--sections targets,goals,rows,memory] [--plot FILE.png]

Sections (all by default):
  targets  the data hash of every corpus (--mib MiB and a 4 KiB padded wrapper)
           under each Highway instruction set this CPU has (bench/hwy_targets.py
           restricts the dispatch at run time), beside the same run's SHA-256
           floor (hashlib over the very bytes hashed) and the one-liner
           sha256(unicodedata.normalize("NFC", text[:n]).encode()), with the
           factor each is required to reach and whether it does
  goals    under one target (--goal-target, AVX2 by default): the short calls
           against text.encode() and hashlib, strip of a --strip-mib MiB text
           against the Python route, two threads against hashlib's two threads;
           and a count of the requirements of the targets section that are met
  rows     the full table: small calls, encoding, reading, strip, and each
           data-hash function per corpus, under Highway's own choice of target
  memory   peak memory of a data-hash call, in a child process (Linux only)

Corpora (bench/corpora.py) are generated from per-language material with a
seeded random generator (--seed), never by repeating a unit; the corpora
named "repeated: ..." are the short units the benchmark used before, repeated
to the size, kept beside them. --corpus takes names, "varied", "repeated" or
"all"; --list-corpora lists them. Generated corpora are cached in
build/bench-corpora.

Each figure is the median time per call over --repeat runs; every baseline
runs in the same process, on the same data. Every table names the CPU model
and the Highway target it ran under.
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpora  # noqa: E402
import hwy_targets  # noqa: E402
import quorvane  # noqa: E402

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


def one_liner(text, n):
    return hashlib.sha256(unicodedata.normalize("NFC", text[:n]).encode()).digest()


# What the performance work requires of each corpus (the targets of the
# performance issue). Floor: ours / SHA-256 floor at most this, per kind of
# instruction set, on the corpora already in NFC. One-liner: x (its time
# over ours) at least this on decomposed and mixed text under AVX2 and
# better; under every target, the scalar path included, x >= 1.0 everywhere.
FLOOR_CORPORA = ("english", "french", "german", "polish", "vietnamese", "chinese", "japanese",
                 "korean", "emoji-chat")
FLOOR_LIMIT = {"avx3_dl": 1.5, "avx3": 1.5, "avx2": 2.0}
X_AT_LEAST = {"vietnamese-nfd": 2.0, "mixed": 5.0}
X_TARGETS = ("avx3_dl", "avx3", "avx2")


def required_floor(kind, target):
    return FLOOR_LIMIT.get(target) if kind in FLOOR_CORPORA else None


def required_x(kind, target):
    if target in X_TARGETS and kind in X_AT_LEAST:
        return X_AT_LEAST[kind]
    return 1.0


def header(title, target, targets_info):
    print()
    print(title)
    print("CPU: %s; Highway target: %s" % (hwy_targets.cpu_model(), target))
    if targets_info:
        print("(module compiled for: %s; this CPU has: %s)" % (
            ", ".join(targets_info.compiled), ", ".join(targets_info.available)))


def met(value, limit, at_most):
    if limit is None:
        return "", ""
    ok = value <= limit if at_most else value >= limit
    return ("<= %.1f" if at_most else ">= %.1f") % limit, "yes" if ok else "NO"


class Tally:
    """Counts the requirements met, per target, for the closing summary."""

    def __init__(self):
        self.counts = {}
        self.misses = {}

    def add(self, target, what, ok):
        c = self.counts.setdefault(target, [0, 0])
        c[1] += 1
        if ok:
            c[0] += 1
        else:
            self.misses.setdefault(target, []).append(what)


TALLY = Tally()


def targets_section(kinds, targets, tinfo, mib, repeat):
    """The per-target table. Floor and one-liner are measured once per corpus
    (they do not depend on the module's target); ours under each target."""
    w = quorvane.encode_padded(b"m" * 1024)
    results = {}  # kind -> (size, floor, line, {target: ours})
    for kind in kinds:
        if kind == "repeated: marks":
            continue  # unicodedata orders marks quadratically: hours
        text = corpora.corpus(kind, mib) + w
        n = len(text) - len(w)
        hashed = unicodedata.normalize("NFC", text[:n]).encode("utf-8")
        expected = hashlib.sha256(hashed).digest()
        floor = median_time(lambda: hashlib.sha256(hashed).digest(), repeat)
        line = median_time(lambda: one_liner(text, n), repeat)
        ours = {}
        for target in targets:
            tinfo.restrict(target)
            got = quorvane.compute_data_hash(text)["hash"]
            if got != expected:
                tinfo.reset()
                raise SystemExit("%s under %s: digest %s, the one-liner's %s"
                                 % (kind, target, got.hex(), expected.hex()))
            ours[target] = median_time(lambda: quorvane.compute_data_hash(text), repeat)
        tinfo.reset()
        results[kind] = (len(hashed), floor, line, ours)
        del text, hashed

    for target in targets:
        header("data hash, %d MiB + 4 KiB padded wrapper, ours vs the SHA-256 floor and the "
               "one-liner sha256(NFC(text[:n]).encode()), same run (digests equal)" % mib,
               target, tinfo)
        print("%-30s %9s %9s %9s %7s %8s %-3s %10s %7s %8s %-3s" % (
            "corpus", "MiB hashed", "ours", "floor", "/floor", "required", "met",
            "one-liner", "x", "required", "met"))
        for kind, (size, floor, line, ours) in results.items():
            t = ours[target]
            ratio, x = t / floor, line / t
            fr, fm = met(ratio, required_floor(kind, target), True)
            xr, xm = met(x, required_x(kind, target), False)
            if fm:
                TALLY.add(target, "%s /floor %.2f" % (kind, ratio), fm == "yes")
            TALLY.add(target, "%s x %.2f" % (kind, x), xm == "yes")
            print("%-30s %9.2f %9s %9s %7.2f %8s %-3s %10s %7.2f %8s %-3s" % (
                kind, size / (1 << 20), fmt_time(t), fmt_time(floor), ratio, fr, fm,
                fmt_time(line), x, xr, xm))

    header("all targets at a glance: ours / SHA-256 floor, and (x vs the one-liner)",
           ", ".join(targets), tinfo)
    print("%-30s" % "corpus" + "".join(" %15s" % t for t in targets))
    for kind, (size, floor, line, ours) in results.items():
        print("%-30s" % kind + "".join(" %15s" % ("%.2f (%.2f)" % (ours[t] / floor, line / ours[t]))
                                       for t in targets))
    return results


def python_strip(text, start, length):
    raw = text.encode("utf-8")
    return (raw[:start] + raw[start + length:]).decode("utf-8")


def goals_section(target, tinfo, mib, strip_mib, repeat):
    """The figures of the performance targets that are not per corpus, under
    one target."""
    tinfo.restrict(target)
    header("short calls, strip and two threads, each against its same-run baseline",
           target, tinfo)
    print("%-52s %10s %10s %-34s %7s %8s %s" % ("workload", "ours", "baseline", "",
                                                "ratio", "required", "met"))

    def show(name, ours, base, base_name, ratio, limit, at_most):
        r, m = met(ratio, limit, at_most)
        TALLY.add(target, "%s %.2f" % (name, ratio), m == "yes")
        print("%-52s %10s %10s %-34s %7.2f %8s %s" % (name, fmt_time(ours), fmt_time(base),
                                                      base_name, ratio, r, m))

    # A 75-character text with a wrapper of a 64-byte store.
    visible = corpora.corpus("english", 1)[:75]
    short = visible + quorvane.encode(b"m" * 64)
    ex = call_time(quorvane.extract, short, repeat, 50000)
    enc = call_time(str.encode, short, repeat, 50000)
    show("extract(75 characters + 64-byte store)", ex, enc, "text.encode()", ex / enc, 1.3, True)
    cd = call_time(quorvane.compute_data_hash, short, repeat, 50000)
    sh = call_time(lambda t: hashlib.sha256(t.encode()).digest(), short, repeat, 50000)
    show("compute_data_hash(the same text)", cd, sh, "hashlib.sha256(text.encode())", cd / sh,
         1.6, True)
    # Not a requirement: hashlib over only the bytes the data hash digests.
    vis = call_time(lambda t: hashlib.sha256(t.encode()).digest(), visible, repeat, 50000)
    print("%-52s %10s %10s %-34s %7.2f" % ("compute_data_hash(the same text)", fmt_time(cd),
                                           fmt_time(vis), "hashlib.sha256(visible.encode())",
                                           cd / vis))

    w1k = quorvane.encode(b"m" * 1024)
    for kind in ("english", "stray-feff"):
        host = corpora.corpus(kind, strip_mib)
        for where, text in (("end", host + w1k),
                            ("middle", host[:len(host) // 2] + w1k + host[len(host) // 2:])):
            start, length = quorvane.locate_all(text)[0]
            assert quorvane.strip(text, start, length) == python_strip(text, start, length)
            ours = median_time(lambda: quorvane.strip(text, start, length), repeat)
            py = median_time(lambda: python_strip(text, start, length), repeat)
            show("strip(%d MiB %s, wrapper at %s)" % (strip_mib, kind, where), ours, py,
                 "encode, cut, decode (x faster)", py / ours, 3.0, False)
            del text
        del host

    w = quorvane.encode_padded(b"m" * 1024)
    a = corpora.corpus("chinese", mib) + w
    b = corpora.corpus("french", mib) + w
    seq, par = two_threads(quorvane.compute_data_hash, (a, b), repeat)
    raw = [t.encode("utf-8") for t in (a, b)]
    sha_seq, sha_par = two_threads(lambda r: hashlib.sha256(r).digest(), raw, repeat)
    print("%-52s %10s %10s %-34s %7.2f" % ("two threads: hashlib.sha256 of the same UTF-8",
                                           fmt_time(sha_par), fmt_time(sha_seq), "(sequential)",
                                           sha_par / sha_seq))
    show("two threads: compute_data_hash, chinese + french", par, seq,
         "(sequential; limit hashlib's + 0.10)", par / seq, sha_par / sha_seq + 0.10, True)
    tinfo.reset()


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


def draw(results, target, path):
    """A bar chart of throughput per corpus under one target, ours beside the
    one-liner's and the floor's."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    kinds = list(results)
    xs = range(len(kinds))
    fig, ax = plt.subplots(figsize=(12, 4.8))
    mb = lambda k, t: results[k][0] / t / 1e6  # noqa: E731
    ax.bar([x - 0.27 for x in xs], [mb(k, results[k][3][target]) for k in kinds], 0.27,
           label="compute_data_hash (%s)" % target)
    ax.bar(list(xs), [mb(k, results[k][2]) for k in kinds], 0.27,
           label="sha256(NFC(text).encode())")
    ax.bar([x + 0.27 for x in xs], [mb(k, results[k][1]) for k in kinds], 0.27,
           label="hashlib.sha256 of the UTF-8 alone")
    ax.set_xticks(list(xs))
    ax.set_xticklabels(kinds, rotation=40, ha="right", fontsize=8)
    ax.set_ylabel("MB/s of UTF-8 hashed (higher is faster)")
    ax.set_title("Data hash throughput per corpus, one run, %s, Highway %s"
                 % (hwy_targets.cpu_model(), target), fontsize=9)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print("chart written to", path)


def peak_ratio(kind, mib, call):
    """Runs one data-hash call in a child and returns peak RSS growth / text size."""
    code = r"""
import sys, gc
sys.path.insert(0, %r)
import quorvane
from corpora import corpus
text = corpus(%r, %d, %d) + quorvane.encode(b"m" * 1024)
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
""" % (os.path.dirname(os.path.abspath(__file__)), kind, mib, corpora.DEFAULT_SEED, call)
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True)
        return float(out.stdout.strip())
    except (subprocess.CalledProcessError, ValueError, OSError):
        return None


def print_rows(target):
    header("the full table (median of --repeat calls)", target, None)
    print("%-52s %12s %12s   %s" % ("workload", "time/call", "MB/s", "baseline (same run)"))
    for name, s, size, base in ROWS:
        mbs = "%.0f" % (size / s / 1e6) if size else ""
        b = "%s: %s" % (base[0], fmt_time(base[1])) if base else ""
        print("%-52s %12s %12s   %s" % (name, fmt_time(s), mbs, b))


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

    w1k = quorvane.encode(b"m" * 1024)
    for kind in ("english", "stray-feff", "repeated: dense markers"):
        host = corpora.corpus(kind, mib)
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


def other_rows(kinds, mib, r):
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

    host = corpora.corpus("english", mib)
    p1k = b"m" * 1024
    w1k = quorvane.encode(p1k)
    row("embed(%d MiB English host, 1 KiB)" % mib,
        median_time(lambda: quorvane.embed(host, p1k), r),
        baseline=("host + encode(p)", median_time(lambda: host + quorvane.encode(p1k), r)))

    # Reading.
    signed = host + w1k
    size = len(signed.encode("utf-8"))
    row("locate_all(%d MiB English)" % mib, median_time(lambda: quorvane.locate_all(signed), r),
        size=size, baseline=("str.encode", median_time(lambda: signed.encode("utf-8"), r)))
    raw = signed.encode("utf-8")
    row("  stdlib: bytes.decode (%d MiB English + wrapper)" % mib,
        median_time(lambda: raw.decode("utf-8"), r), size=size)
    del raw
    row("extract(%d MiB English)" % mib, median_time(lambda: quorvane.extract(signed), r),
        size=size)
    for kind in ("stray-feff", "repeated: dense markers"):
        dense = corpora.corpus(kind, mib) + w1k
        row("locate_all(%d MiB %s)" % (mib, kind),
            median_time(lambda: quorvane.locate_all(dense), r), size=len(dense.encode("utf-8")))
        del dense

    # The data hash, over every corpus with a 1 KiB wrapper at its end.
    for kind in kinds:
        text = corpora.corpus(kind, mib) + w1k
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
        if kind == "repeated: marks":
            # unicodedata orders marks quadratically: hours on this corpus.
            del text, raw, kept, plain
            continue
        row("  stdlib: sha256(NFC(text).encode()) (%s)" % kind,
            median_time(lambda: hashlib.sha256(
                unicodedata.normalize("NFC", plain).encode("utf-8")).digest(), 1),
            size=size, baseline=("unicodedata.normalize alone",
                                 median_time(lambda: unicodedata.normalize("NFC", plain), 1)))
        del text, raw, kept, plain


def corpus_names(wanted):
    ids = {corpora.cli_name(n): n for n in corpora.ALL}
    if wanted in (None, "", "all"):
        return list(corpora.ALL)
    out = []
    for raw in wanted.split(","):
        name = raw.strip()
        if name == "varied":
            out += list(corpora.VARIED)
        elif name == "repeated":
            out += list(corpora.REPEATED)
        elif name in ids:
            out.append(ids[name])
        elif name in corpora.ALL:
            out.append(name)
        else:
            raise SystemExit("unknown corpus %r (--list-corpora lists them)" % raw)
    return [n for n in corpora.ALL if n in out]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--mib", type=int, default=16, help="MiB of UTF-8 per corpus (16)")
    ap.add_argument("--strip-mib", type=int, default=64,
                    help="MiB of the texts that the goals' strip rows cut a wrapper from (64)")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--seed", type=int, default=corpora.DEFAULT_SEED)
    ap.add_argument("--corpus", help="comma-separated corpora, 'varied', 'repeated' or 'all' "
                    "(default); the targets and rows sections use them")
    ap.add_argument("--targets", help="comma-separated Highway targets (avx3_dl, avx3, avx2, "
                    "sse4, ssse3, scalar) or 'all' (default: each this CPU has)")
    ap.add_argument("--goal-target", help="the target of the goals section (default avx2, "
                    "else the best there is)")
    ap.add_argument("--sections", default="targets,goals,rows,memory",
                    help="which of targets, goals, rows, memory to run (all)")
    ap.add_argument("--list-corpora", action="store_true")
    ap.add_argument("--no-memory", action="store_true", help="leave out the memory section")
    ap.add_argument("--reading", action="store_true",
                    help="only the rows of reading_rows (extract, pickling, strip)")
    ap.add_argument("--only-summary", action="store_true",
                    help="only the targets and goals sections")
    ap.add_argument("--plot", metavar="PNG", help="also draw the goal target's figures as a chart")
    args = ap.parse_args()
    corpora.DEFAULT_SEED = args.seed
    if args.list_corpora:
        for n in corpora.ALL:
            print("%-26s %s" % (corpora.cli_name(n), corpora.describe(n)))
        return
    r = args.repeat
    kinds = corpus_names(args.corpus)
    sections = set(s.strip() for s in args.sections.split(","))
    if args.only_summary:
        sections = {"targets", "goals"}
    if args.reading:
        sections = {"reading"}
    if args.no_memory:
        sections.discard("memory")

    tinfo = hwy_targets.Targets(quorvane)
    targets = hwy_targets.parse(args.targets, tinfo.available)
    if args.goal_target:
        goal = hwy_targets.parse(args.goal_target, tinfo.available)[0]
    else:
        goal = "avx2" if "avx2" in tinfo.available else tinfo.available[0]
    best = tinfo.available[0]
    print("CPU: %s; libhwy: %s; corpora: %d MiB, seed %d" % (
        hwy_targets.cpu_model(), tinfo.library, args.mib, args.seed))

    t0 = time.perf_counter()
    if "reading" in sections:
        reading_rows(args.mib, r)
        print_rows(best + " (Highway's own choice)")
        return
    results = None
    if "targets" in sections:
        results = targets_section(kinds, targets, tinfo, args.mib, r)
        print("(targets section: %.0f s)" % (time.perf_counter() - t0))
    if "goals" in sections:
        t1 = time.perf_counter()
        goals_section(goal, tinfo, args.mib, args.strip_mib, r)
        print("(goals section: %.0f s)" % (time.perf_counter() - t1))
    if TALLY.counts:
        header("requirements met, per target", ", ".join(TALLY.counts), tinfo)
        for target, (ok, total) in TALLY.counts.items():
            print("%-8s %3d of %3d met%s" % (target, ok, total,
                                              "; not: " + ", ".join(TALLY.misses[target])
                                              if target in TALLY.misses else ""))
    if args.plot and results and goal in targets:
        draw(results, goal, args.plot)
    if "rows" in sections:
        # Every data-hash function on each generated corpus and on the marks
        # (the worst case), unless --corpus names others.
        row_kinds = kinds if args.corpus else list(corpora.VARIED) + ["repeated: marks"]
        reading_rows(args.mib, r)
        other_rows(row_kinds, args.mib, r)
        print_rows(best + " (Highway's own choice)")
    if "memory" in sections and sys.platform.startswith("linux"):
        header("peak memory during the call, x the text's UTF-8 size",
               best + " (Highway's own choice)", None)
        for kind in ("english", "vietnamese-nfd", "mixed", "chinese", "repeated: marks"):
            for fn, call in (
                ("compute_data_hash", "quorvane.compute_data_hash(text)"),
                ("verify_data_hash",
                 "quorvane.verify_data_hash(text, d['hash'], d['exclusions'])"),
            ):
                ratio = peak_ratio(kind, args.mib, call)
                print("%-52s %s" % ("%s (%s)" % (fn, kind),
                                    "%.2f" % ratio if ratio is not None else "n/a"))
    print()
    print("bench_module.py took %.0f s" % (time.perf_counter() - t0))


if __name__ == "__main__":
    main()
