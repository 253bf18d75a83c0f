"""Golden cases and round trips for the quorvane command-line tool.

Usage: python3 tests/cli/run.py PATH/TO/quorvane [--update] [NAME_PART ...]

A golden case is a directory under tests/cli/cases/ holding
  cmd      the arguments on one line, split like a shell would (shlex);
           a final "< FILE" feeds FILE to standard input, else it is empty
  stdout   the exact standard output (absent: empty)
  stderr   the exact standard error (absent: empty)
  stdout.re, stderr.re
           instead of stdout or stderr: a regular expression the whole
           output must match (for what depends on the build, as versions)
  status   the exit status (absent: 0)
  setup/   files copied into the working directory before the run
  modes    lines "NAME OCTAL": the permission bits of setup's file NAME
           before the run, which it must still have afterwards
  files/   exactly the files that the working directory holds afterwards,
           besides data/ (absent: none, so a failed run left nothing behind)
Each case runs in a new temporary directory holding a copy of tests/cli/data
as data/, with LC_ALL=C. --update rewrites a case's expectations from its
actual run; review the diff before keeping it.

The round trips run every subcommand over multilingual texts and check the
results against each other and against hashlib and unicodedata.

Prints one line per test and closes with "N passed, M failed"; exits 1 when
any test failed.
"""
import base64
import hashlib
import json
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unicodedata

HERE = pathlib.Path(__file__).resolve().parent
CASES = HERE / "cases"
DATA = HERE / "data"
ENV = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C"}


def run(binary, args, stdin=b"", cwd=None):
    p = subprocess.run([binary, *args], input=stdin, capture_output=True, cwd=cwd, env=ENV,
                       timeout=120)
    return p.returncode, p.stdout, p.stderr


def read(path, default=b""):
    return path.read_bytes() if path.exists() else default


def listing(root):
    """Relative path -> content of every file under root."""
    return {str(p.relative_to(root)): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file()}


def golden(binary, case, update):
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        shutil.copytree(DATA, work / "data")
        if (case / "setup").is_dir():
            shutil.copytree(case / "setup", work, dirs_exist_ok=True)
        modes = {}
        if (case / "modes").exists():
            for line in (case / "modes").read_text(encoding="utf-8").splitlines():
                name, mode = line.split()
                modes[name] = int(mode, 8)
                os.chmod(work / name, modes[name])
        args = shlex.split((case / "cmd").read_text(encoding="utf-8"))
        stdin = b""
        if len(args) >= 2 and args[-2] == "<":
            stdin = (work / args[-1]).read_bytes()
            args = args[:-2]
        status, out, err = run(binary, args, stdin, cwd=work)
        shutil.rmtree(work / "data")
        files = listing(work)
        mode_changes = []
        for name, mode in modes.items():
            after = os.stat(work / name).st_mode & 0o7777 if (work / name).exists() else None
            if after != mode:
                mode_changes.append("%s %o, then %s" % (name, mode, "gone" if after is None else "%o" % after))

    if update:
        for name, got in (("stdout", out), ("stderr", err)):
            if (case / (name + ".re")).exists():
                continue
            if got:
                (case / name).write_bytes(got)
            elif (case / name).exists():
                (case / name).unlink()
        if status:
            (case / "status").write_text("%d\n" % status)
        elif (case / "status").exists():
            (case / "status").unlink()
        shutil.rmtree(case / "files", ignore_errors=True)
        for name, content in files.items():
            (case / "files" / name).parent.mkdir(parents=True, exist_ok=True)
            (case / "files" / name).write_bytes(content)
        return None

    problems = []
    want_status = int(read(case / "status", b"0"))
    if status != want_status:
        problems.append("status %d, expected %d" % (status, want_status))
    for name, got in (("stdout", out), ("stderr", err)):
        if (case / (name + ".re")).exists():
            pattern = read(case / (name + ".re")).rstrip(b"\n")
            if re.fullmatch(pattern, got) is None:
                problems.append("%s does not match %s.re:\n--- pattern\n%r\n--- actual\n%r"
                                % (name, name, pattern, got))
            continue
        want = read(case / name)
        if got != want:
            problems.append("%s differs:\n--- expected\n%r\n--- actual\n%r" % (name, want, got))
    want_files = listing(case / "files") if (case / "files").is_dir() else {}
    if files != want_files:
        problems.append("files: expected %s, found %s" % (
            {k: len(v) for k, v in want_files.items()}, {k: len(v) for k, v in files.items()}))
    if mode_changes:
        problems.append("modes changed: %s" % ", ".join(mode_changes))
    return "; ".join(problems) or None


# ---- round trips ----------------------------------------------------------

SAMPLES = {
    "english": "Provenance travels with the words.",
    "german": "Die Herkunft reist mit den Wörtern.\n",
    "russian": "Происхождение путешествует вместе со словами.",
    "japanese": "出自は言葉とともに旅をする。\n",
    "korean": "출처는 글과 함께 여행한다.",
    "arabic": "المصدر يسافر مع الكلمات.",
    "hindi": "स्रोत शब्दों के साथ यात्रा करता है।",
    "emoji": "Signed 📜✍️ by 👩🏽‍💻, flags 🇯🇵🇰🇷.",
    "decomposed": "Cafe\u0301 a\u0300 Ha\u0300 No\u0323i",
    "empty": "",
}
STORES = {
    "unpadded": (b"\x00\x0f\x10\xff\xef\xbb\xbf" + bytes(range(256)), False),
    "padded": (b"jumb" + bytes(100), True),
}


class Check(Exception):
    pass


class Skip(Exception):
    """The test cannot run here; the reason is printed, nothing is counted."""


def expect(condition, what):
    if not condition:
        raise Check(what)


def ok(binary, args, stdin=b"", cwd=None):
    status, out, err = run(binary, args, stdin, cwd)
    expect(status == 0, "%s: status %d, stderr %r" % (" ".join(args), status, err))
    expect(err == b"", "%s: unexpected stderr %r" % (" ".join(args), err))
    return out


def round_trip(binary, host, store, padded):
    pad = ["--padded"] if padded else []
    raw = host.encode("utf-8")
    with tempfile.TemporaryDirectory() as tmp:
        d = pathlib.Path(tmp)
        (d / "host.txt").write_bytes(raw)
        (d / "store.bin").write_bytes(store)

        # encode: the wrapper alone, which embed appends to the host unchanged.
        wrapper = ok(binary, ["encode", "--manifest", "store.bin", *pad], cwd=d)
        expect(wrapper.startswith(b"\xef\xbb\xbf"), "encode: no marker")
        if padded:
            expect(len(wrapper) == 4 * len(store) + 61, "encode --padded: not 4n + 61 bytes")
        signed = ok(binary, ["embed", "--manifest", "store.bin", *pad, "host.txt"], cwd=d)
        expect(signed == raw + wrapper, "embed: not host + wrapper")
        from_stdin = ok(binary, ["embed", "--manifest", "store.bin", *pad, "-"], raw, cwd=d)
        expect(from_stdin == signed, "embed from standard input differs")
        (d / "signed.txt").write_bytes(signed)

        # locate and extract see the one wrapper where it was appended.
        located = json.loads(ok(binary, ["locate", "--json", "signed.txt"], cwd=d))
        expect(located == {"wrappers": [{"start": len(raw), "length": len(wrapper),
                                         "manifest_length": len(store)}], "damaged": []},
               "locate --json: %r" % located)
        expect(ok(binary, ["extract", "signed.txt"], cwd=d) == store, "extract: store differs")
        expect(ok(binary, ["extract"], signed, cwd=d) == store, "extract from stdin differs")
        meta = json.loads(ok(binary, ["extract", "--json", "-o", "out.bin", "signed.txt"], cwd=d))
        expect(meta == {"version": 1, "start": len(raw), "length": len(wrapper),
                        "manifest_length": len(store),
                        "manifest_sha256": hashlib.sha256(store).hexdigest()},
               "extract --json: %r" % meta)
        expect((d / "out.bin").read_bytes() == store, "extract -o: store differs")

        # strip gives the host back.
        expect(ok(binary, ["strip", "signed.txt"], cwd=d) == raw, "strip: host differs")
        ok(binary, ["strip", "-", "-o", "plain.txt"], signed, cwd=d)
        expect((d / "plain.txt").read_bytes() == raw, "strip -o: host differs")

        # hash and verify, for every algorithm, against hashlib over NFC.
        nfc = unicodedata.normalize("NFC", host).encode("utf-8")
        for alg in ("sha256", "sha384", "sha512"):
            binding = json.loads(ok(binary, ["hash", "--alg", alg, "signed.txt"], cwd=d))
            want = {"alg": alg, "hash": base64.b64encode(hashlib.new(alg, nfc).digest()).decode(),
                    "exclusions": [{"start": len(raw), "length": len(wrapper)}]}
            expect(binding == want, "hash --alg %s: %r" % (alg, binding))
            (d / "binding.json").write_text(json.dumps(binding))
            expect(ok(binary, ["verify", "--binding", "binding.json", "--strict-padding",
                               "signed.txt"], cwd=d) == ("verified (%s, strict padding)\n" % alg).encode(),
                   "verify --binding %s" % alg)
            ok(binary, ["verify", "--hash", binding["hash"], "--alg", alg,
                        "--exclusion", "%d:%d" % (len(raw), len(wrapper))], signed, cwd=d)

        # One character changed in place is a mismatch; one put in front
        # moves the wrapper, so its exclusion no longer matches.
        if host:
            edited = chr(ord(host[0]) ^ 1) + host[1:]
            expect(len(edited.encode("utf-8")) == len(raw), "edit changed the length")
            status, _, err = run(binary, ["verify", "--binding", "binding.json"],
                                 edited.encode("utf-8") + wrapper, d)
            expect((status, err) == (1, b"quorvane: data hash does not match the asset content "
                                        b"[assertion.dataHash.mismatch]\n"),
                   "edit not caught: %d %r" % (status, err))
        status, _, err = run(binary, ["verify", "--binding", "binding.json"], b"X" + signed, d)
        expect((status, err) == (1, b"quorvane: data hash exclusion range is malformed "
                                    b"[assertion.dataHash.malformed]\n"),
               "moved wrapper not caught: %d %r" % (status, err))

        # embed refuses a signed text, and --replace swaps the wrapper.
        status, out, err = run(binary, ["embed", "--manifest", "store.bin", "signed.txt"], cwd=d)
        expect(status == 2 and out == b"" and b"already carries" in err, "embed over a wrapper")
        again = ok(binary, ["embed", "--replace", "--manifest", "store.bin", *pad, "signed.txt"], cwd=d)
        expect(again == signed, "embed --replace: differs from a single embed")

        # --nfc normalises the host before the wrapper goes on.
        normal = ok(binary, ["embed", "--nfc", "--manifest", "store.bin", *pad, "host.txt"], cwd=d)
        expect(normal == nfc + wrapper, "embed --nfc: host not NFC")


def too_large(binary):
    """A manifest file of 2^32 bytes is refused before it is read (sparse)."""
    with tempfile.TemporaryDirectory() as tmp:
        d = pathlib.Path(tmp)
        with open(d / "huge.bin", "wb") as f:
            f.truncate(1 << 32)
        status, out, err = run(binary, ["encode", "--manifest", "huge.bin", "-o", "w.txt"], cwd=d)
        expect((status, out) == (2, b""), "status %d" % status)
        expect(err == b"quorvane: payload of 4294967296 bytes exceeds the u32 manifestLength field\n",
               "stderr %r" % err)
        expect(sorted(os.listdir(d)) == ["huge.bin"], "left files behind: %s" % os.listdir(d))


def out_of_memory(binary):
    """Running out of memory is reported (exit 2) and leaves no output file:
    a 256 MiB text (NUL characters, then a wrapper) under a 192 MiB address
    space limit."""
    import resource

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (192 << 20, 192 << 20))

    # An emulator (qemu's user mode) may accept the limit and not enforce it.
    probe = subprocess.run([sys.executable, "-c", "bytearray(256 << 20)"], preexec_fn=limit,
                           capture_output=True)
    if probe.returncode == 0:
        raise Skip("the address-space limit (RLIMIT_AS) is not enforced here")
    with tempfile.TemporaryDirectory() as tmp:
        d = pathlib.Path(tmp)
        wrapper = ok(binary, ["encode", "--manifest", "-"], b"store")
        with open(d / "big.txt", "wb") as f:
            f.truncate(256 << 20)
            f.seek(0, os.SEEK_END)
            f.write(wrapper)
        p = subprocess.run([binary, "hash", "big.txt", "-o", "binding.json"], cwd=d, env=ENV,
                           capture_output=True, preexec_fn=limit, timeout=120)
        expect((p.returncode, p.stdout, p.stderr) == (2, b"", b"quorvane: out of memory\n"),
               "status %d, stderr %r" % (p.returncode, p.stderr))
        expect(sorted(os.listdir(d)) == ["big.txt"], "left files behind: %s" % os.listdir(d))


def interrupted(binary):
    """SIGINT, SIGTERM or SIGHUP while the -o file is still a temporary one
    removes it, and the tool dies of the signal (a shell's status 128 + N).
    extract --json writes the -o file first and publishes it only after its
    standard output, a pipe filled beforehand, so the tool waits there with
    the temporary file in place."""
    import fcntl
    import signal
    import time

    store = read(DATA / "store.bin")
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        with tempfile.TemporaryDirectory() as tmp:
            d = pathlib.Path(tmp)
            r, w = os.pipe()
            fcntl.fcntl(w, fcntl.F_SETFL, os.O_NONBLOCK)
            try:
                while True:
                    os.write(w, bytes(65536))
            except BlockingIOError:
                pass
            fcntl.fcntl(w, fcntl.F_SETFL, 0)
            p = subprocess.Popen([binary, "extract", "--json", "-o", "store.bin",
                                  str(DATA / "padded.txt")], cwd=d, env=ENV, stdout=w,
                                 stderr=subprocess.DEVNULL)
            os.close(w)
            try:
                # Wait for the temporary file to hold the whole store.
                for _ in range(1000):
                    temps = [n for n in os.listdir(d) if n.startswith(".store.bin.quorvane-")]
                    if len(temps) == 1 and read(d / temps[0]) == store:
                        break
                    time.sleep(0.01)
                expect(len(temps) == 1 and read(d / temps[0]) == store,
                       "%s: no complete temporary file: %s" % (sig.name, os.listdir(d)))
                p.send_signal(sig)
                status = p.wait(timeout=60)
            finally:
                p.kill()
                p.wait()
                os.close(r)
            expect(status == -sig, "%s: status %d" % (sig.name, status))
            expect(os.listdir(d) == [], "%s: left files behind: %s" % (sig.name, os.listdir(d)))


def full_stdout(binary):
    """A write to a full standard output fails the run (exit 2), and the
    -o file that accompanies it is never published."""
    with tempfile.TemporaryDirectory() as tmp:
        d = pathlib.Path(tmp)
        for args in (["--help"], ["--version"], ["extract", "--help"],
                     ["extract", "--json", "-o", "store.bin", str(DATA / "padded.txt")]):
            with open("/dev/full", "wb") as full:
                p = subprocess.run([binary, *args], cwd=d, env=ENV, stdout=full,
                                   stderr=subprocess.PIPE, timeout=120)
            expect((p.returncode, p.stderr) ==
                   (2, b"quorvane: standard output: No space left on device\n"),
                   "%s: status %d, stderr %r" % (" ".join(args), p.returncode, p.stderr))
            expect(os.listdir(d) == [], "%s: left files behind: %s" % (" ".join(args), os.listdir(d)))


def main(argv):
    args = [a for a in argv[1:] if a != "--update"]
    update = "--update" in argv
    if not args:
        sys.exit(__doc__)
    binary, patterns = os.path.abspath(args[0]), args[1:]
    tests = [("golden/" + c.name, lambda c=c: golden(binary, c, update))
             for c in sorted(CASES.iterdir()) if c.is_dir()]
    if not update:
        for sample, host in SAMPLES.items():
            for kind, (store, padded) in STORES.items():
                tests.append(("roundtrip/%s/%s" % (sample, kind),
                              lambda h=host, s=store, p=padded: round_trip(binary, h, s, p)))
        tests.append(("payload-too-large", lambda: too_large(binary)))
        tests.append(("out-of-memory", lambda: out_of_memory(binary)))
        tests.append(("interrupted", lambda: interrupted(binary)))
        tests.append(("full-stdout", lambda: full_stdout(binary)))
    tests = [(n, t) for n, t in tests if not patterns or any(p in n for p in patterns)]

    passed = failed = skipped = 0
    for name, test in tests:
        try:
            problem = test()
        except Skip as e:
            skipped += 1
            print("skip %s: %s" % (name, e))
            continue
        except Check as e:
            problem = str(e)
        except Exception as e:  # a crash in a test is that test's failure
            problem = "%s: %s" % (type(e).__name__, e)
        if problem:
            failed += 1
            print("FAIL %s: %s" % (name, problem))
        else:
            passed += 1
            print("ok   %s" % name)
    print("%d passed, %d failed" % (passed, failed) + (", %d skipped" % skipped if skipped else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
