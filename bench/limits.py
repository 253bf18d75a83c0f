"""Resource limits for untrusted input: how the cost of the worst texts the
module can be handed grows with their size.

    python bench/limits.py [--scale 1.0] [--repeat 3]

Each workload runs at three sizes, each twice the one before. A row gives
the best time of --repeat calls, the time per input byte, and the ratio to
the previous size: 2.0 means the time grew linearly, 4.0 quadratically.
It prints figures only and passes or fails nothing.

Workloads:
  nfc-expand-3x      compute_data_hash over U+1D160 repeated: NFC writes
                     each as three code points, three times the bytes
  nfc-marks-same     one base letter and N copies of U+0301
  nfc-marks-mixed    one base letter and N marks of alternating combining
                     classes (U+0316 class 220, U+0301 class 230), which
                     canonical ordering has to sort
  nfc-marks-desc     one base letter, N/2 marks of class 230 and then N/2 of
                     class 220: every later mark moves in front of all the
                     earlier ones
  nfc-marks-decomp   one base letter and N marks alternating U+0316 (class
                     220) with U+0344, a mark that decomposes into two
                     marks of class 230
  nfc-tibetan        U+0F73 (class 0, but decomposes into two marks) and
                     U+0F71 alternating, one run of marks after decomposition
  locate-runs        locate_all over M markers, each followed by a run that
                     starts with a full header whose manifestLength the run
                     cannot satisfy (so every candidate is decoded and
                     rejected)
  extract-runs       extract over the same text: no valid wrapper, so the
                     text is scanned a second time for the magic
  locate-markers     locate_all over M bare markers
  locate-near-miss   locate_all over M times U+FFFD, whose lead byte EF is
                     the marker's
"""
import argparse
import time

import quorvane

MAGIC = b"C2PATXT\x00"


def selector(byte):
    return chr(0xFE00 + byte) if byte < 0x10 else chr(0xE0100 + byte - 0x10)


def run(n_payload_bytes):
    # header claiming 4294967295 bytes, followed by far fewer
    header = MAGIC + b"\x01" + b"\xff\xff\xff\xff"
    return "\ufeff" + "".join(selector(b) for b in header + bytes(range(n_payload_bytes)))


WRAPPER = quorvane.encode(b"x")


def nfc_case(text):
    body = text + WRAPPER
    return lambda: quorvane.compute_data_hash(body), body


def expand(n):
    return nfc_case("\U0001D160" * n)


def marks_same(n):
    return nfc_case("a" + "\u0301" * n)


def marks_mixed(n):
    return nfc_case("a" + "\u0316\u0301" * (n // 2))


def marks_desc(n):
    return nfc_case("a" + "\u0301" * (n // 2) + "\u0316" * (n // 2))


def marks_decomposing(n):
    return nfc_case("a" + "\u0316\u0344" * (n // 2))


def tibetan(n):
    return nfc_case("a" + "\u0f73\u0f71" * (n // 2))


RUN = run(48)


def locate_runs(m):
    text = RUN * m
    return lambda: quorvane.locate_all(text), text


def extract_runs(m):
    text = RUN * m
    return (lambda: quorvane.extract(text)), text


def locate_markers(m):
    text = "\ufeff" * m
    return lambda: quorvane.locate_all(text), text


def locate_near_miss(m):
    text = "\ufffd" * m
    return lambda: quorvane.locate_all(text), text


WORKLOADS = [
    ("nfc-expand-3x", expand, 1 << 20, "code points"),
    ("nfc-marks-same", marks_same, 100_000, "marks"),
    ("nfc-marks-mixed", marks_mixed, 100_000, "marks"),
    ("nfc-marks-desc", marks_desc, 100_000, "marks"),
    ("nfc-marks-decomp", marks_decomposing, 80_000, "marks"),
    ("nfc-tibetan", tibetan, 80_000, "marks"),
    ("locate-runs", locate_runs, 1_000_000, "markers"),
    ("extract-runs", extract_runs, 1_000_000, "markers"),
    ("locate-markers", locate_markers, 2_000_000, "markers"),
    ("locate-near-miss", locate_near_miss, 2_000_000, "chars"),
]


def best_time(call, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        try:
            call()
        except ValueError:
            pass  # extract over damaged candidates raises; that is the work
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every size by this")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", nargs="*", help="workload names to run")
    args = parser.parse_args()

    print("%-18s %12s %-12s %10s %10s %9s %7s" % (
        "workload", "count", "unit", "MiB UTF-8", "seconds", "ns/byte", "ratio"))
    for name, make, base, unit in WORKLOADS:
        if args.only and name not in args.only:
            continue
        previous = None
        for factor in (1, 2, 4):
            count = max(1, int(base * args.scale / 2 * factor))
            call, text = make(count)
            size = len(text.encode("utf-8"))
            seconds = best_time(call, args.repeat)
            ratio = "" if previous is None else "%.2f" % (seconds / previous)
            print("%-18s %12d %-12s %10.1f %10.4f %9.2f %7s" % (
                name, count, unit, size / (1 << 20), seconds, seconds * 1e9 / size, ratio),
                flush=True)
            previous = seconds
            del call, text


if __name__ == "__main__":
    main()
