"""Hostile and odd objects at the boundary: subclasses that lie about
themselves, callbacks that raise or drop the caller's references, sizes at
the edges of 64 bits. Each gets its exception or result, and the
interpreter keeps working afterwards."""
import subprocess
import sys
import textwrap

import pytest

import quorvane as q
import qvref
from qvref import MALFORMED, MISMATCH, raised, unsupported, utf8len, wrapper

BEFORE, AFTER = "caf\u00e9 ", " \u4e2d"
W = wrapper(b"store")
TEXT = BEFORE + W + AFTER
RANGE = (utf8len(BEFORE), utf8len(W))
N = utf8len(TEXT)
GOOD = qvref.data_hash(TEXT)


@pytest.fixture(autouse=True)
def module_still_works():
    yield
    assert q.extract(TEXT) == {"payload": b"store", "version": 1,
                               "start": RANGE[0], "length": RANGE[1]}
    assert q.verify_data_hash(TEXT, GOOD["hash"], [RANGE]) is None


# ---- str and bytes subclasses that lie about themselves -------------------

class LyingStr(str):
    """Equal to everything, hashing at random, claiming to be empty, and
    showing another face to str(), iteration and encode()."""

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __hash__(self):
        return id(self)

    def __len__(self):
        return 0

    def __str__(self):
        return "not me"

    def __iter__(self):
        raise RuntimeError("iterated")

    def encode(self, *args, **kwargs):
        return b"not me"

    def __getitem__(self, i):
        raise RuntimeError("indexed")


class LyingBytes(bytes):
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __hash__(self):
        return 0

    def __len__(self):
        return 99

    def __bytes__(self):
        return b""

    def __iter__(self):
        raise RuntimeError("iterated")

    def __getitem__(self, i):
        raise RuntimeError("indexed")


def lie(text):
    return LyingStr(text)


# Each row: the call with lying subclasses, and the same call with plain
# objects; the module reads the real contents, so both agree.
SUBCLASS_CALLS = {
    "encode": (lambda: q.encode(LyingBytes(b"abc")), lambda: q.encode(b"abc")),
    "encode_padded": (lambda: q.encode_padded(LyingBytes(b"\x00\xff")),
                      lambda: q.encode_padded(b"\x00\xff")),
    "embed": (lambda: q.embed(lie("h\u00e9"), LyingBytes(b"p")),
              lambda: q.embed("h\u00e9", b"p")),
    "extract": (lambda: q.extract(lie(TEXT)), lambda: q.extract(TEXT)),
    "locate_all": (lambda: q.locate_all(lie(TEXT + W)),
                   lambda: q.locate_all(TEXT + W)),
    "strip": (lambda: q.strip(lie(TEXT), *RANGE),
              lambda: q.strip(TEXT, *RANGE)),
    "compute": (lambda: q.compute_data_hash(lie(TEXT), lie("sha512")),
                lambda: q.compute_data_hash(TEXT, "sha512")),
    "verify": (lambda: q.verify_data_hash(lie(TEXT), LyingBytes(GOOD["hash"]),
                                          [RANGE], lie("sha256")),
               lambda: q.verify_data_hash(TEXT, GOOD["hash"], [RANGE], "sha256")),
}


@pytest.mark.parametrize("odd,plain", list(SUBCLASS_CALLS.values()),
                         ids=list(SUBCLASS_CALLS))
def test_lying_subclasses_are_read_by_their_contents(odd, plain):
    got, want = odd(), plain()
    assert type(got) is type(want)
    assert repr(got) == repr(want)  # LyingStr's __eq__ would pass anything


@pytest.mark.parametrize("call,message", [
    # __eq__ claims a match, the bytes do not
    (lambda: q.verify_data_hash(TEXT, LyingBytes(b"\x00" * 32), [RANGE]),
     MISMATCH),
    # the caller's text, not its __str__, goes into the message
    (lambda: q.compute_data_hash(TEXT, lie("md5")), unsupported("md5")),
    (lambda: q.verify_data_hash(TEXT, GOOD["hash"], [RANGE], lie("SHA256")),
     unsupported("SHA256")),
])
def test_lying_subclasses_do_not_fool_the_checks(call, message):
    e = raised(call)
    assert type(e) is ValueError and e.args == (message,)


def test_results_are_exact_types_whatever_the_arguments():
    d = q.compute_data_hash(lie(TEXT), lie("sha384"))
    assert type(d["alg"]) is str and d["alg"] == "sha384"
    assert type(d["hash"]) is bytes
    assert type(q.embed(lie("x"), LyingBytes(b""))) is str
    assert type(q.extract(lie(TEXT))["payload"]) is bytes


# ---- tuple subclasses as exclusion items ----------------------------------

class LyingPair(tuple):
    """Claims two items of value 0 whatever it holds."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 0

    def __iter__(self):
        return iter((0, 0))


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("exclusions,expected", [
    ([LyingPair(RANGE)], None),
    ((LyingPair(RANGE),), None),
    ([LyingPair(RANGE), LyingPair((N, 0))], None),
    ([LyingPair((Idx(RANGE[0]), Idx(RANGE[1])))], None),
    # really three items, though __len__ says two
    ([LyingPair(RANGE + (0,))],
     (ValueError, "expected tuple of length 2, but got tuple of length 3")),
    ([LyingPair((RANGE[0],))],
     (ValueError, "expected tuple of length 2, but got tuple of length 1")),
    # the real items are used: (0, 0) would not match the wrapper
    ([LyingPair((0, 0))], (ValueError, MALFORMED)),
    ([LyingPair(("0", 1))],
     (TypeError, "argument 'exclusions': 'str' object cannot be interpreted "
                 "as an integer")),
])
def test_tuple_subclasses_are_read_by_their_contents(exclusions, expected):
    if expected is None:
        assert q.verify_data_hash(TEXT, GOOD["hash"], exclusions) is None
    else:
        e = raised(lambda: q.verify_data_hash(TEXT, GOOD["hash"], exclusions))
        assert type(e) is expected[0] and e.args == (expected[1],)


# ---- sequences whose length or iteration misbehaves -----------------------

class Seq:
    """A sequence by __len__ and __getitem__, with a chosen length answer."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class IterSeq(Seq):
    """The same, iterated by a generator that may break off."""

    def __init__(self, items, length, error=None):
        super().__init__(items, length)
        self.error = error

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == 1 and self.error is not None:
                raise self.error
            yield item


class NoIndex:
    pass


@pytest.mark.parametrize("length", [
    -1, 10 ** 19, 2 ** 63, 0, "2", None, NoIndex(), OverflowError("len"),
], ids=repr)
@pytest.mark.parametrize("make", [Seq, IterSeq])
def test_an_unusable_length_is_ignored(make, length):
    # PySequence_Size fails (or answers 0); the items are read all the same
    seq = make([RANGE, (N, 0)], length)
    assert q.verify_data_hash(TEXT, GOOD["hash"], seq) is None
    # a lie cannot make an empty sequence look full
    value_e = raised(lambda: q.verify_data_hash(TEXT, GOOD["hash"],
                                                make([], 10 ** 18)))
    assert type(value_e) is ValueError and value_e.args == (MALFORMED,)


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), MemoryError("len")],
                         ids=repr)
@pytest.mark.parametrize("make", [Seq, IterSeq])
def test_an_interrupted_length_is_raised(make, error):
    # only an Exception from __len__ is dropped; these reach the caller as raised
    assert raised(lambda: q.verify_data_hash(TEXT, GOOD["hash"], make([RANGE], error))) is error


class Broken(TypeError):
    pass


@pytest.mark.parametrize("error,kind,args", [
    (RuntimeError("midway"), RuntimeError, ("midway",)),
    (KeyboardInterrupt(), KeyboardInterrupt, ()),
    (TypeError("midway"), TypeError, ("argument 'exclusions': midway",)),
    (Broken("midway"), Broken, ("midway",)),
    (MemoryError(), MemoryError, ()),
])
def test_iteration_breaking_off_raises_its_error(error, kind, args):
    e = raised(lambda: q.verify_data_hash(TEXT, GOOD["hash"],
                                          IterSeq([RANGE, (N, 0)], 2, error)))
    assert type(e) is kind and e.args == args


# ---- __index__ that misbehaves, in every size parameter ------------------

class Index:
    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.result


class IntIgnoringIndex(int):
    def __index__(self):
        raise RuntimeError("an int is converted without __index__")


class IntSub(int):
    pass


# Each slot puts one object in one size parameter of a call that otherwise
# succeeds; `value` is what the slot needs there for that success.
SIZE_SLOTS = {
    "target_length": ("manifest_len", 3, lambda v: q.target_length(v), 73),
    "strip start": ("start", RANGE[0], lambda v: q.strip(TEXT, v, RANGE[1]),
                    BEFORE + AFTER),
    "strip length": ("length", RANGE[1], lambda v: q.strip(TEXT, RANGE[0], v),
                     BEFORE + AFTER),
    "exclusion start": ("exclusions", RANGE[0],
                        lambda v: q.verify_data_hash(TEXT, GOOD["hash"],
                                                     [(v, RANGE[1])]), None),
    "exclusion length": ("exclusions", RANGE[1],
                         lambda v: q.verify_data_hash(TEXT, GOOD["hash"],
                                                      [(RANGE[0], v)]), None),
}


class Sub(TypeError):
    pass


def index_failures(value):
    """(object, exception type, args with {param} for the prefix)."""
    return [
        (Index(error=ZeroDivisionError("boom")), ZeroDivisionError, ("boom",)),
        (Index(error=KeyboardInterrupt()), KeyboardInterrupt, ()),
        (Index(error=Sub("boom")), Sub, ("boom",)),
        (Index(error=TypeError("boom")), TypeError,
         ("argument '{param}': boom",)),
        (Index(result=float(value)), TypeError,
         ("argument '{param}': __index__ returned non-int (type float)",)),
        (Index(result=Index(result=value)), TypeError,
         ("argument '{param}': __index__ returned non-int (type Index)",)),
        (Index(result=None), TypeError,
         ("argument '{param}': __index__ returned non-int (type NoneType)",)),
        (Index(result=-1), OverflowError, None),
        (Index(result=2 ** 64), OverflowError, None),
    ]


@pytest.mark.parametrize("slot", list(SIZE_SLOTS), ids=list(SIZE_SLOTS))
def test_index_that_misbehaves(slot):
    param, value, call, expected = SIZE_SLOTS[slot]
    for obj, kind, args in index_failures(value):
        e = raised(lambda: call(obj))
        assert type(e) is kind, (obj.__dict__, e)
        if args is None:
            assert not str(e).startswith("argument")
        else:
            assert e.args == tuple(a.format(param=param) for a in args)
    # values that do convert
    assert call(Index(result=value)) == expected
    assert call(IntIgnoringIndex(value)) == expected
    with pytest.warns(DeprecationWarning):
        assert call(Index(result=IntSub(value))) == expected


# ---- sizes at the edges of 64 bits ----------------------------------------

EDGES = [0, 2 ** 63, 2 ** 64 - 1, 2 ** 64]


@pytest.mark.parametrize("n", EDGES)
def test_target_length_at_the_edges(n):
    if n >= 2 ** 64:
        assert type(raised(lambda: q.target_length(n))) is OverflowError
    else:
        assert q.target_length(n) == 4 * n + 61  # exact, never wrapped


@pytest.mark.parametrize("start", EDGES + [RANGE[0], N])
@pytest.mark.parametrize("length", EDGES + [RANGE[1]])
def test_strip_at_the_edges(start, length):
    if start >= 2 ** 64 or length >= 2 ** 64:
        assert type(raised(lambda: q.strip(TEXT, start, length))) is OverflowError
        return
    want = qvref.strip(TEXT, start, length) if start + length <= N else None
    if want is None:
        e = raised(lambda: q.strip(TEXT, start, length))
        assert type(e) is ValueError and e.args == (MALFORMED,)
    else:
        assert q.strip(TEXT, start, length) == want


@pytest.mark.parametrize("start", EDGES + [N])
@pytest.mark.parametrize("length", EDGES)
def test_extra_exclusion_at_the_edges(start, length):
    # the wrapper's range first, then one more range behind it
    exclusions = [RANGE, (start, length)]
    call = lambda: q.verify_data_hash(TEXT, GOOD["hash"], exclusions)
    if start >= 2 ** 64 or length >= 2 ** 64:
        assert type(raised(call)) is OverflowError
    elif start == N and length == 0:
        assert call() is None  # an empty range at the end removes nothing
    else:
        e = raised(call)
        assert type(e) is ValueError and e.args == (MALFORMED,)


# ---- lone surrogates in every text parameter, passed by keyword ----------

SURROGATE = lie("x\udcff")
TEXT_PARAMS = {
    "embed text": lambda: q.embed(text=SURROGATE, payload=b""),
    "extract text": lambda: q.extract(text=SURROGATE),
    "locate_all text": lambda: q.locate_all(text=SURROGATE),
    "strip text": lambda: q.strip(length=0, start=0, text=SURROGATE),
    "compute text": lambda: q.compute_data_hash(alg="sha256", text=SURROGATE),
    "compute alg": lambda: q.compute_data_hash(alg=SURROGATE, text=TEXT),
    "verify text": lambda: q.verify_data_hash(
        exclusions=[RANGE], hash=GOOD["hash"], text=SURROGATE),
    "verify alg": lambda: q.verify_data_hash(
        TEXT, GOOD["hash"], [RANGE], alg=SURROGATE),
    # converted before the empty exclusions and the missing wrapper are seen
    "verify alg, empty exclusions": lambda: q.verify_data_hash(
        "", b"", [], SURROGATE),
}


@pytest.mark.parametrize("call", list(TEXT_PARAMS.values()), ids=list(TEXT_PARAMS))
def test_lone_surrogate_in_a_str_subclass(call):
    e = raised(call)
    assert type(e) is UnicodeEncodeError
    assert (e.encoding, e.start, e.end, e.reason) == (
        "utf-8", 1, 2, "surrogates not allowed")
    assert str.__eq__(e.object, "x\udcff")  # LyingStr's own __eq__ says yes to all


# ---- a type whose name cannot be read ------------------------------------

def test_type_name_that_cannot_be_read():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    Opaque = Meta("Opaque", (), {})
    e = raised(lambda: q.encode(Opaque()))
    assert type(e) is TypeError
    assert e.args == ("argument 'payload': '<failed to extract type name>' "
                      "object cannot be converted to 'PyBytes'",)


# ---- keyword names that are str subclasses --------------------------------

class Key(str):
    """Unequal to every other string and hashing apart from them."""

    def __eq__(self, other):
        return self is other

    def __ne__(self, other):
        return self is not other

    def __hash__(self):
        return id(self)


class ShownAs(Key):
    def __str__(self):
        return "shown"


class Unprintable(Key):
    def __init__(self, error):
        self.error = error

    def __new__(cls, error):
        return super().__new__(cls, "bogus")

    def __str__(self):
        raise self.error


def test_keyword_names_are_matched_by_their_text():
    assert q.encode(**{Key("payload"): b"x"}) == q.encode(b"x")
    assert q.strip(**{Key("text"): "abc", Key("start"): 1, "length": 1}) == "ac"
    assert q.compute_data_hash(TEXT, **{Key("alg"): "sha384"}) == \
        q.compute_data_hash(TEXT, "sha384")


@pytest.mark.parametrize("call,message", [
    # two distinct dict keys with one text name one parameter twice
    (lambda: q.extract(**{"text": TEXT, Key("text"): TEXT}),
     "extract() got multiple values for argument 'text'"),
    (lambda: q.encode(b"a", **{Key("payload"): b"b"}),
     "encode() got multiple values for argument 'payload'"),
    # the message shows the key's str()
    (lambda: q.encode(**{ShownAs("data"): b"x"}),
     "encode() got an unexpected keyword argument 'shown'"),
    (lambda: q.encode(**{Key("pay\udc00load"): b"x"}),
     "encode() got an unexpected keyword argument 'pay\udc00load'"),
    (lambda: q.encode(**{Key("payload\x00"): b"x"}),
     "encode() got an unexpected keyword argument 'payload\x00'"),
])
def test_keyword_names_that_do_not_bind(call, message):
    e = raised(call)
    assert type(e) is TypeError and e.args == (message,)


def test_a_keyword_name_whose_str_fails_is_an_internal_failure(capfd):
    # The message cannot be built: the interpreter prints why, and the
    # call fails internally, not with an ordinary exception.
    e = raised(lambda: q.encode(**{Unprintable(ValueError("no str")): b"x"}))
    assert type(e).__name__ == "PanicException"
    assert not isinstance(e, Exception)
    assert e.args == ("Python API call failed",)
    assert "no str" in capfd.readouterr().err


def run_child(code):
    """Runs code in a fresh interpreter with the same environment (and so
    the same sanitizer runtime, when one is preloaded)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


def test_system_exit_from_a_keyword_names_str_is_not_a_process_exit():
    child = run_child("""
        import quorvane

        class Key(str):
            def __str__(self):
                raise SystemExit(7)

        try:
            quorvane.encode(**{Key("bogus"): b"x"})
        except BaseException as e:
            print("raised", type(e).__name__)
        print("alive", quorvane.target_length(0))
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == "alive 61", child.stdout


# ---- callbacks that drop the caller's references -------------------------

# A conversion that runs Python code (__iter__, __getitem__, __index__) may
# clear the keyword dictionary the call was made with. The call must keep
# its own references to the arguments it has yet to read.
DROPPED = {
    "verify: exclusions drop hash and alg": """
        t = quorvane.embed("caf\\u00e9 ", b"store")
        d = quorvane.compute_data_hash(t, "sha384")

        class Evil:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i:
                    raise IndexError
                clear_referrers(self)
                return d["exclusions"][0]

        kw = {"text": t, "hash": bytes(bytearray(d["hash"])),
              "alg": "sha" + str(384), "exclusions": Evil()}
        print(quorvane.verify_data_hash(**kw))
    """,
    "strip: start drops length": """
        class Start:
            def __index__(self):
                clear_referrers(self)
                return 1

        class Length:
            def __index__(self):
                return 2

        print(quorvane.strip(**{"text": "h\\u00e9llo", "start": Start(),
                                "length": Length()}))
    """,
}
DROPPED_OUTPUT = {
    "verify: exclusions drop hash and alg": "None",
    "strip: start drops length": "hllo",
}
CLEAR_REFERRERS = """
    import gc
    import quorvane

    def clear_referrers(obj):
        for r in gc.get_referrers(obj):
            if isinstance(r, dict) and "text" in r:
                r.clear()
"""


@pytest.mark.parametrize("name", list(DROPPED))
def test_arguments_outlive_a_cleared_keyword_dict(name):
    child = run_child(textwrap.dedent(CLEAR_REFERRERS) + textwrap.dedent(DROPPED[name]))
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.strip() == DROPPED_OUTPUT[name]
