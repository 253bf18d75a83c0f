"""Runs the module under each Highway instruction set this CPU has, for the
benchmark only: the module's own API has no such switch.

The build of scripts/bench (pip install . into build/venv-bench) links the
system's shared libhwy.so (Debian's libhwy-dev), and every dispatched call in
the module (HWY_DYNAMIC_DISPATCH of the functions HWY_EXPORT names in src/)
picks its table entry from the process-wide hwy::GetChosenTarget() in that
library. hwy::SetSupportedTargetsForTest(int64_t) sets the supported targets
and updates that chosen target, so calling it through ctypes in the very
libhwy.so the module loaded restricts the module's next calls. The wheel
(QUORVANE_STATIC_DEPS) has Highway linked in with hidden symbols: there the
restriction is impossible, and `Targets()` says so.

Restricting to a target keeps the targets below it too (the bits of worse
targets), as a CPU whose best is that target would report: a source file that
was not compiled for a target then runs its next best one, as it would there.
"""
import ctypes
import os

# Highway 1.x's target bits (hwy/detect_targets.h), best first.
BITS = {
    "avx3_dl": 1 << 7,   # AVX-512 with VBMI2, VNNI, BITALG, VPOPCNTDQ, ... (Ice Lake)
    "avx3": 1 << 8,      # AVX-512 F, BW, DQ, VL (Skylake-X)
    "avx2": 1 << 9,      # AVX2, BMI2, FMA, F16C (Haswell)
    "sse4": 1 << 11,     # SSE4.2, CLMUL, AES
    "ssse3": 1 << 12,
    "emu128": 1 << 61,   # Highway's 128-bit emulation
    "scalar": 1 << 62,   # one lane at a time: the fallback of our build
}
ALIASES = {"avx512": "avx3", "avx512_dl": "avx3_dl", "sse4.2": "sse4", "sse4_2": "sse4"}

_SET = "_ZN3hwy26SetSupportedTargetsForTestEl"   # hwy::SetSupportedTargetsForTest(long)
_SUPPORTED = "_ZN3hwy16SupportedTargetsEv"        # hwy::SupportedTargets()


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    import platform
    return platform.processor() or platform.machine()


def _mapped_libhwy():
    """Paths of the libhwy.so files mapped into this process."""
    paths = set()
    with open("/proc/self/maps") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 6 and os.path.basename(parts[5]).startswith("libhwy.so"):
                paths.add(parts[5])
    return paths


def compiled_in(module_path):
    """The targets the module holds code for (the N_<TARGET> namespaces that
    foreach_target names its symbols with)."""
    with open(module_path, "rb") as f:
        data = f.read()
    found = []
    for name in BITS:
        ns = "N_" + name.upper()
        if ("%d%s" % (len(ns), ns)).encode() in data:
            found.append(name)
    return found


class Targets:
    """The module's instruction sets: which this CPU has, and a switch."""

    def __init__(self, module):
        paths = _mapped_libhwy()
        if len(paths) != 1:
            raise RuntimeError(
                "%s does not use a shared libhwy.so (%s): it is the wheel or another "
                "static build, whose Highway cannot be restricted from outside; per-target "
                "runs need the build of scripts/bench (build/venv-bench)"
                % (module.__file__, "none mapped" if not paths else "several: %s" % sorted(paths)))
        self.library = paths.pop()
        lib = ctypes.CDLL(self.library)  # the copy already loaded: same handle
        self._set = getattr(lib, _SET)
        self._set.argtypes = [ctypes.c_int64]
        self._set.restype = None
        supported = getattr(lib, _SUPPORTED)
        supported.argtypes = []
        supported.restype = ctypes.c_int64
        self._set(0)
        self.cpu_bits = supported()
        self.compiled = compiled_in(module.__file__)
        # A target is run when the CPU has it and the module was compiled for
        # it; the fallback (scalar) always runs.
        self.available = [n for n in self.compiled
                          if self.cpu_bits & BITS[n] or n in ("scalar", "emu128")]

    def restrict(self, name):
        bit = BITS[name]
        # This target and every worse one (higher bits) the CPU has.
        self._set((self.cpu_bits | bit) & ~(bit - 1))

    def reset(self):
        self._set(0)


def parse(wanted, available):
    """The targets named in a comma-separated `wanted` ("all" = every available
    one), in the order best first; unknown or unavailable names are errors."""
    if wanted in (None, "", "all"):
        return list(available)
    names = []
    for raw in wanted.split(","):
        n = raw.strip().lower()
        n = ALIASES.get(n, n)
        if n not in BITS:
            raise SystemExit("unknown target %r (known: %s)" % (raw, ", ".join(BITS)))
        if n not in available:
            raise SystemExit("target %r is not available here (available: %s)"
                             % (raw, ", ".join(available)))
        names.append(n)
    return [n for n in available if n in names]


_CHILD = r"""
import sys
sys.path.insert(0, %r)
import corpora, hwy_targets, quorvane
t = hwy_targets.Targets(quorvane)
text = corpora.corpus(%r, %d) + quorvane.encode_padded(b"m" * 1024)
t.restrict(%r)
for _ in range(%d):
    quorvane.compute_data_hash(text)
"""


def check_dispatch(targets, kind="mixed", mib=4, calls=10):
    """Runs the data hash under each target in a child under `perf record`
    and prints where its samples in the module fall, by the namespace of the
    target that foreach_target compiled each function for. Returns False
    when a restricted run spent time in a better target than allowed."""
    import re
    import shutil
    import subprocess
    import sys
    import tempfile
    if not shutil.which("perf"):
        print("check_dispatch: perf is not installed (Debian: linux-perf)")
        return True
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    import corpora  # noqa: PLC0415
    corpora.corpus(kind, mib)  # made (and cached) here, not under perf
    order = list(BITS)
    ok = True
    for target in targets:
        with tempfile.TemporaryDirectory() as tmp:
            data = os.path.join(tmp, "perf.data")
            subprocess.run(["perf", "record", "-q", "-o", data, sys.executable, "-c",
                            _CHILD % (here, kind, mib, target, calls)], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            report = subprocess.run(["perf", "report", "-q", "-i", data, "--no-children",
                                     "--sort", "sym"], check=True, capture_output=True,
                                    text=True).stdout
        share = {}
        for line in report.splitlines():
            m = re.match(r"\s*([0-9.]+)%.*::N_([A-Z0-9_]+)::", line)
            if m:
                share[m.group(2).lower()] = share.get(m.group(2).lower(), 0.0) + float(m.group(1))
        better = [n for n in share if n in order and order.index(n) < order.index(target)]
        ok = ok and not better
        print("%-8s %s%s" % (target, ", ".join("N_%s %.1f%%" % (n.upper(), p)
                                               for n, p in sorted(share.items(),
                                                                  key=lambda kv: -kv[1])),
                             "  <- better than allowed: %s" % better if better else ""))
    return ok


if __name__ == "__main__":
    # python bench/hwy_targets.py [targets]: which targets' code the
    # restricted runs execute, under perf.
    import sys
    import quorvane
    t = Targets(quorvane)
    print("CPU: %s; libhwy: %s" % (cpu_model(), t.library))
    print("module compiled for: %s; available here: %s" % (", ".join(t.compiled),
                                                           ", ".join(t.available)))
    names = parse(sys.argv[1] if len(sys.argv) > 1 else None, t.available)
    sys.exit(0 if check_dispatch(names) else 1)
