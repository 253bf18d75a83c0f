"""Allocation failure inside the library surfaces as MemoryError and leaves
the interpreter usable."""
import os
import subprocess
import sys
import textwrap

import pytest

resource = pytest.importorskip("resource")

if not os.path.exists("/proc/self/statm"):
    pytest.skip("address-space size is read from /proc", allow_module_level=True)

# An emulator (qemu's user mode) may accept the limit and not enforce it.
UNENFORCED = "the address-space limit (RLIMIT_AS) is not enforced here"

CHILD = textwrap.dedent("""
    import resource, sys
    import quorvane
    UNENFORCED = %r

    call = %s
    n = 64 << 20
    payload = b"\\xaa" * n          # allocated before the limit drops

    with open("/proc/self/statm") as f:
        in_use = int(f.read().split()[0]) * resource.getpagesize()
    # room for a copy of the payload, not for its 4x-sized text
    resource.setrlimit(resource.RLIMIT_AS,
                       (in_use + 2 * n, resource.getrlimit(resource.RLIMIT_AS)[1]))
    try:
        bytearray(4 * n)
    except MemoryError:
        pass
    else:
        sys.exit(UNENFORCED)
    try:
        call(payload)
    except MemoryError:
        pass
    else:
        sys.exit("no MemoryError")
    small = quorvane.encode(b"ok")
    assert small == "\\ufeff" + "".join(chr(0xE0100 + b - 0x10) if b >= 16
                                       else chr(0xFE00 + b) for b in
                                       b"C2PATXT\\x00\\x01\\x00\\x00\\x00\\x02ok")
    assert quorvane.extract(small)["payload"] == b"ok"
    print("survived")
""")


@pytest.mark.parametrize("call", [
    "quorvane.encode",
    "quorvane.encode_padded",
    "lambda p: quorvane.embed('host', p)",
])
def test_allocation_failure_raises_memory_error(call):
    proc = subprocess.run([sys.executable, "-c", CHILD % (UNENFORCED, call)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    if proc.returncode == 1 and proc.stderr.strip() == UNENFORCED:
        pytest.skip(UNENFORCED)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "survived"
