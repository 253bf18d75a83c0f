"""The module at the edges of the interpreter: a second interpreter may not
import it, many threads may call it at once, its functions pickle and run in
process pools and on a Dask cluster, and allocations that fail under an
address-space limit raise MemoryError and leave it usable."""
import concurrent.futures
import multiprocessing
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import quorvane as q
import qvref
from qvref import raised


def run_child(*parts, timeout=300):
    code = "".join(textwrap.dedent(part) for part in parts)
    return subprocess.run([sys.executable, "-c", code],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout)


def sanitized():
    with open("/proc/self/maps") as f:
        return "libclang_rt.asan" in f.read()


# ---- subinterpreters ------------------------------------------------------

try:
    import _interpreters  # noqa: F401  (3.13 on)
    SUBINTERPRETERS = "_interpreters"
except ImportError:
    try:
        import _xxsubinterpreters  # noqa: F401  (3.9 to 3.12)
        SUBINTERPRETERS = "_xxsubinterpreters"
    except ImportError:
        SUBINTERPRETERS = None

needs_subinterpreters = pytest.mark.skipif(
    SUBINTERPRETERS is None, reason="this interpreter has no subinterpreter module")

# Runs `code` in a new subinterpreter sharing the main one's settings (the
# legacy kind, which may load single-phase modules, so that the module's own
# check is what refuses it), or in an isolated one when ISOLATED is true.
# The subinterpreter writes what happened to a file.
SUBINTERPRETER = """
    import os, sys, tempfile
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    def in_subinterpreter(code, isolated=False):
        fd, path = tempfile.mkstemp()
        os.close(fd)
        script = (
            "try:\\n"
            "    import quorvane\\n"
            "    outcome = 'imported ' + quorvane.__version__\\n"
            "except BaseException as e:\\n"
            "    outcome = type(e).__name__ + ': ' + str(e)\\n"
            "with open(%r, 'w') as f:\\n"
            "    f.write(outcome)\\n" % path)
        if hasattr(interpreters, "exec"):
            cid = interpreters.create("isolated" if isolated else "legacy")
            interpreters.exec(cid, script)
        else:
            try:
                cid = interpreters.create(isolated=isolated)
            except TypeError:  # before 3.12 every subinterpreter is legacy
                if isolated:
                    raise
                cid = interpreters.create()
            interpreters.run_string(cid, script)
        interpreters.destroy(cid)
        with open(path) as f:
            outcome = f.read()
        os.unlink(path)
        return outcome
"""

MAIN_STILL_WORKS = """
    t = quorvane.embed("caf\\u00e9", b"store")
    d = quorvane.compute_data_hash(t)
    assert quorvane.extract(t)["payload"] == b"store"
    assert quorvane.verify_data_hash(t, d["hash"], d["exclusions"]) is None
    assert quorvane.strip(t, *d["exclusions"][0]) == "caf\\u00e9"
    print("main works")
"""


@needs_subinterpreters
def test_import_in_a_subinterpreter_raises_import_error():
    child = run_child(SUBINTERPRETER, """
        import quorvane
        print(in_subinterpreter("import quorvane"))
        print(in_subinterpreter("import quorvane"))  # and again
    """, MAIN_STILL_WORKS)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    for line in lines[:2]:
        assert line.startswith("ImportError: "), line
        assert "does not support subinterpreters" in line, line
    assert lines[2] == "main works"


@needs_subinterpreters
@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters are 3.12+")
def test_import_in_an_isolated_subinterpreter_raises_import_error():
    child = run_child(SUBINTERPRETER, """
        import quorvane
        print(in_subinterpreter("import quorvane", isolated=True))
    """, MAIN_STILL_WORKS)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[0].startswith("ImportError: "), lines[0]
    assert lines[1] == "main works"


# ---- many threads at once -------------------------------------------------

HOST = "Gr\u00fc\u00dfe, \u4e16\u754c! e\u0301 " * 8
STORE = bytes(range(256))
TEXT = HOST + qvref.wrapper(STORE) + " \U0001f600"
RANGE = (qvref.utf8len(HOST), qvref.utf8len(qvref.wrapper(STORE)))
HASHES = {alg: qvref.digest(alg, TEXT, [RANGE]) for alg in ("sha256", "sha384", "sha512")}


class Idx:
    """An index that runs Python code, so the interpreter may switch
    threads in the middle of a call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Pairs:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


CALLS = [
    lambda: q.embed(HOST, STORE),
    lambda: q.encode(STORE),
    lambda: q.encode_padded(STORE[:77]),
    lambda: q.target_length(Idx(2 ** 64 - 1)),
    lambda: q.extract(TEXT),
    lambda: q.extract(HOST),
    lambda: q.extract(TEXT + TEXT),
    lambda: q.locate_all(TEXT + HOST + TEXT),
    lambda: q.strip(TEXT, Idx(RANGE[0]), Idx(RANGE[1])),
    lambda: q.strip(TEXT, 1, Idx(2)),
    lambda: q.compute_data_hash(TEXT),
    lambda: q.compute_data_hash(TEXT, "sha512"),
    lambda: q.compute_data_hash(HOST, "sha384"),
    lambda: q.verify_data_hash(TEXT, HASHES["sha384"], Pairs([(Idx(RANGE[0]), RANGE[1])]),
                               "sha384"),
    lambda: q.verify_data_hash(TEXT, HASHES["sha256"], [RANGE], "sha512"),
    lambda: q.verify_data_hash(TEXT, HASHES["sha256"], Pairs([RANGE, (Idx(0), 0)])),
    lambda: q.verify_data_hash(TEXT, b"", "exclusions"),
]


def outcome(call):
    try:
        return ("returned", call())
    except Exception as e:
        return ("raised", type(e), e.args)


def long_calls(k):
    """Calls on a text of its own for each k (and one for all threads, k is
    None): long enough to be read a chunk at a time and to release the lock,
    not ASCII, with the wrapper past the first chunk."""
    tag = "shared" if k is None else "thread %d" % k
    host = ("\u00e9t\u00e9 e\u0301 \u4e2d %s " % tag) * (
        qvref.RELEASE_GIL_FROM // len("\u00e9t\u00e9 e\u0301 \u4e2d %s " % tag) + 1)
    store = ("store of %s " % tag).encode() * 50
    cut = qvref.CHUNK + 5
    text = host[:cut] + qvref.wrapper(store) + host[cut:]
    assert len(text) > qvref.CHUNK and qvref.utf8len(text) > qvref.RELEASE_GIL_FROM
    excl = [(qvref.utf8len(host[:cut]), qvref.utf8len(qvref.wrapper(store)))]
    digest = qvref.digest("sha256", text, excl)
    return [
        lambda: q.compute_data_hash(text),
        lambda: q.compute_data_hash(text, "sha512"),
        lambda: q.verify_data_hash(text, digest, excl),
        lambda: q.verify_data_hash(text, digest[::-1], excl),
        lambda: q.extract(text),
        lambda: q.locate_all(text + text),
        lambda: q.embed(host, store),
    ]


def test_many_threads_get_the_results_of_one():
    expected = [outcome(call) for call in CALLS]
    assert {o[0] for o in expected} == {"returned", "raised"}
    threads, rounds = 8, 40
    long = {k: long_calls(k) for k in [None, *range(threads)]}
    long_expected = {k: [outcome(c) for c in calls] for k, calls in long.items()}
    assert long_expected[0] != long_expected[1]
    results = [None] * threads
    start = threading.Barrier(threads)

    def work(slot):
        start.wait()
        got = []
        for r in range(rounds):
            # each thread walks the calls from another starting point
            for i in range(len(CALLS)):
                k = (i + slot + r) % len(CALLS)
                got.append((k, outcome(CALLS[k])))
            # and on long texts, its own and the shared one, with the lock
            # released while they are read and hashed
            for key in (slot, None):
                calls = long[key]
                i = (slot + r) % len(calls)
                o = outcome(calls[i])
                assert o == long_expected[key][i], (slot, key, i)
        results[slot] = got

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the lock over as often as possible
    try:
        pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    for got in results:
        assert got is not None and len(got) == rounds * len(CALLS)
        for k, o in got:
            assert o == expected[k], k


# Calls on large inputs let other threads run while they work on buffers of
# their own; small ones keep the lock (below 64 KiB the hand-over costs more).
BIG_STORE = bytes(range(256)) * 4096
BIG_TEXT = "\u00e9t\u00e9 \ufeff" * 400000 + q.encode(BIG_STORE)
LONG_CALLS = {
    "extract": lambda: q.extract(BIG_TEXT)["start"],
    "locate_all": lambda: q.locate_all(BIG_TEXT + BIG_TEXT),
    "encode": lambda: len(q.encode(BIG_STORE)),
    "encode_padded": lambda: len(q.encode_padded(BIG_STORE)),
}


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_other_threads_run_during_a_long_call(name):
    call = LONG_CALLS[name]
    expected = call()
    ticks = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0)  # gives the lock back at once

    interval = sys.getswitchinterval()
    # The lock is never taken from this thread by the interval: the spinner
    # can only tick while a call has let go of it.
    sys.setswitchinterval(100.0)
    spinner = threading.Thread(target=spin)
    try:
        spinner.start()
        time.sleep(0.05)
        moved = False
        for _ in range(20):
            before = ticks[0]
            assert call() == expected
            if ticks[0] != before:
                moved = True
                break
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        spinner.join()
    assert moved


# ---- other processes -------------------------------------------------------

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def test_functions_pickle_by_reference_and_run_in_process_pools():
    for name in q.__all__[:9]:
        fn = getattr(q, name)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    texts = [q.embed("document %d \u00e9" % i, b"store %d" % i) for i in range(6)]
    found = [q.extract(t) for t in texts]
    spawn = multiprocessing.get_context("spawn")  # a fresh interpreter imports the module
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=spawn) as pool:
        assert list(pool.map(q.extract, texts)) == found
        e = raised(lambda: pool.submit(q.extract, texts[0] + texts[1]).result())
        assert type(e) is ValueError and e.args == (qvref.MULTIPLE,)
    with spawn.Pool(2) as pool:
        assert pool.starmap(q.strip, [(t, d["start"], d["length"]) for t, d in
                                      zip(texts, found)]) == ["document %d \u00e9" % i
                                                              for i in range(6)]


def test_corpus_check_example_on_a_local_dask_cluster(monkeypatch):
    distributed = pytest.importorskip("distributed")
    # Worker processes are spawned with this sys.path, so they import the
    # example by name as well.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import dask_corpus

    documents, expected = dask_corpus.make_corpus(30)
    assert set(expected) == {dask_corpus.OK, dask_corpus.UNSIGNED, qvref.MULTIPLE,
                             qvref.MISMATCH}
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert dask_corpus.check_corpus(client, documents, partition_size=8) == expected


# ---- allocation failure ---------------------------------------------------

# For each call: grow the address-space limit step by step from "nothing
# more" to "plenty" and call once under each limit. Every attempt must
# either return the right result or raise MemoryError, wherever inside the
# call the allocation failed (the text's UTF-8 copy, the library's buffers,
# or the result objects); some must fail, the last must succeed, and the
# module must go on working.
ALLOCATION = """
    import resource, sys
    import quorvane

    MB = 1 << 20
    N = 24 * MB
    host = "\\u00e9" * (N // 2)                                  # N bytes of UTF-8
    store = bytes(range(256)) * (N // 1024)                    # N / 4 bytes
    wrapped = host + quorvane.encode(store)
    d = quorvane.compute_data_hash(wrapped)
    CALLS = {
        "extract": (lambda: quorvane.extract(wrapped)["length"], d["exclusions"][0][1]),
        "locate_all": (lambda: quorvane.locate_all(wrapped), d["exclusions"]),
        # the first character: the result keeps the wrapper's wide characters
        "strip": (lambda: len(quorvane.strip(wrapped, 0, 2)), len(wrapped) - 1),
        "compute_data_hash": (lambda: quorvane.compute_data_hash(wrapped), d),
        "verify_data_hash": (lambda: quorvane.verify_data_hash(
            wrapped, d["hash"], d["exclusions"]), None),
        "encode": (lambda: len(quorvane.encode(store)), len(quorvane.encode(store))),
    }
    name = sys.argv[1]
    call, want = CALLS[name]

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    def in_use():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    # An emulator (qemu's user mode) may accept the limit and not enforce it.
    resource.setrlimit(resource.RLIMIT_AS, (in_use() + N, hard))
    try:
        bytearray(4 * N)
    except MemoryError:
        pass
    else:
        sys.exit("unenforced")
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    outcomes = []
    for step in range(0, 49):
        got, failed = None, False
        resource.setrlimit(resource.RLIMIT_AS, (in_use() + step * N // 8, hard))
        try:
            got = call()
        except MemoryError:
            failed = True  # nothing here may allocate before the limit is lifted
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        outcomes.append("MemoryError" if failed else "ok" if got == want else
                        "WRONG %r" % (got,))
        if outcomes[-1] == "ok":
            break
    print(" ".join(outcomes))
    assert quorvane.extract(quorvane.encode(b"after"))["payload"] == b"after"
    print("alive")
"""


@pytest.mark.skipif(sanitized(), reason="ASan reports an allocation failure and aborts "
                                        "instead of letting operator new throw")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("name", ["extract", "locate_all", "strip", "compute_data_hash",
                                  "verify_data_hash", "encode"])
def test_allocation_failure_raises_memory_error(name):
    pytest.importorskip("resource")
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(ALLOCATION), name],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True, timeout=300)
    if child.returncode == 1 and child.stderr.strip() == "unenforced":
        pytest.skip("the address-space limit (RLIMIT_AS) is not enforced here")
    assert child.returncode == 0, child.stderr[-3000:]
    outcomes, alive = child.stdout.splitlines()
    steps = outcomes.split()
    assert steps[0] == "MemoryError" and steps[-1] == "ok", outcomes
    assert set(steps[:-1]) == {"MemoryError"}, outcomes
    assert alive == "alive"
