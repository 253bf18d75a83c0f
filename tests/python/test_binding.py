"""Argument binding and conversion: the TypeError/OverflowError/
UnicodeEncodeError each call raises before any work is done."""
import operator

import pytest

import quorvane as q
import qvref
from qvref import raised

HOST = "host" + qvref.wrapper(b"manifest")
GOOD = qvref.data_hash(HOST)


def index_error_text(obj):
    """What the interpreter says when obj has no usable __index__."""
    try:
        operator.index(obj)
    except TypeError as e:
        return str(e)
    raise AssertionError("%r has an __index__" % (obj,))


BIND = [
    # more positionals than parameters
    (lambda: q.encode(b"a", b"b"),
     "encode() takes 1 positional arguments but 2 were given"),
    (lambda: q.encode_padded(b"a", b"b", b"c"),
     "encode_padded() takes 1 positional arguments but 3 were given"),
    (lambda: q.target_length(1, 2),
     "target_length() takes 1 positional arguments but 2 were given"),
    (lambda: q.extract("a", "b"),
     "extract() takes 1 positional arguments but 2 were given"),
    (lambda: q.locate_all("a", "b"),
     "locate_all() takes 1 positional arguments but 2 were given"),
    (lambda: q.embed("a", b"b", b"c"),
     "embed() takes 2 positional arguments but 3 were given"),
    (lambda: q.strip("a", 0, 0, 0),
     "strip() takes 3 positional arguments but 4 were given"),
    (lambda: q.compute_data_hash("a", "sha256", "x"),
     "compute_data_hash() takes from 1 to 2 positional arguments but 3 were "
     "given"),
    (lambda: q.verify_data_hash("a", b"", [], "sha256", 5, 6),
     "verify_data_hash() takes from 3 to 4 positional arguments but 6 were "
     "given"),
    # ... reported before any keyword is looked at
    (lambda: q.encode(b"a", b"b", bogus=1),
     "encode() takes 1 positional arguments but 2 were given"),
    (lambda: q.compute_data_hash("a", "b", "c", text="x"),
     "compute_data_hash() takes from 1 to 2 positional arguments but 3 were "
     "given"),
    # unknown keywords, compared byte for byte
    (lambda: q.encode(data=b"a"),
     "encode() got an unexpected keyword argument 'data'"),
    (lambda: q.encode(Payload=b"a"),
     "encode() got an unexpected keyword argument 'Payload'"),
    (lambda: q.extract(text="x", extra=1),
     "extract() got an unexpected keyword argument 'extra'"),
    (lambda: q.compute_data_hash("x", algorithm="sha256"),
     "compute_data_hash() got an unexpected keyword argument 'algorithm'"),
    (lambda: q.target_length(**{"manifest_len\u00e9": 1}),
     "target_length() got an unexpected keyword argument 'manifest_len\u00e9'"),
    # a keyword for a parameter already filled by position
    (lambda: q.encode(b"a", payload=b"b"),
     "encode() got multiple values for argument 'payload'"),
    (lambda: q.strip("abc", 0, length=1, start=0),
     "strip() got multiple values for argument 'start'"),
    (lambda: q.verify_data_hash("t", b"", [], "sha256", alg="sha384"),
     "verify_data_hash() got multiple values for argument 'alg'"),
    # the first offending keyword, in call order, decides
    (lambda: q.strip("abc", bogus=1, text="x"),
     "strip() got an unexpected keyword argument 'bogus'"),
    (lambda: q.strip("abc", text="x", bogus=1),
     "strip() got multiple values for argument 'text'"),
    (lambda: q.strip(**{"zz": 1, "text": "x", "yy": 2}),
     "strip() got an unexpected keyword argument 'zz'"),
    # missing required parameters, listed in parameter order
    (lambda: q.encode(),
     "encode() missing 1 required positional argument: 'payload'"),
    (lambda: q.embed(payload=b""),
     "embed() missing 1 required positional argument: 'text'"),
    (lambda: q.embed(),
     "embed() missing 2 required positional arguments: 'text' and 'payload'"),
    (lambda: q.strip("x"),
     "strip() missing 2 required positional arguments: 'start' and 'length'"),
    (lambda: q.strip(start=0),
     "strip() missing 2 required positional arguments: 'text' and 'length'"),
    (lambda: q.strip(),
     "strip() missing 3 required positional arguments: 'text', 'start', and "
     "'length'"),
    (lambda: q.verify_data_hash(),
     "verify_data_hash() missing 3 required positional arguments: 'text', "
     "'hash', and 'exclusions'"),
    (lambda: q.verify_data_hash("t", alg="sha256"),
     "verify_data_hash() missing 2 required positional arguments: 'hash' and "
     "'exclusions'"),
    (lambda: q.verify_data_hash("t", b""),
     "verify_data_hash() missing 1 required positional argument: "
     "'exclusions'"),
    (lambda: q.compute_data_hash(alg="sha256"),
     "compute_data_hash() missing 1 required positional argument: 'text'"),
    # binding fails before any argument is converted
    (lambda: q.strip(None),
     "strip() missing 2 required positional arguments: 'start' and 'length'"),
    (lambda: q.encode(None, None),
     "encode() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call,message", BIND)
def test_binding_errors(call, message):
    e = raised(call)
    assert type(e) is TypeError
    assert e.args == (message,)


@pytest.mark.parametrize("call,expected", [
    (lambda: q.encode(payload=b"x"), lambda: q.encode(b"x")),
    (lambda: q.encode(b"x", **{}), lambda: q.encode(b"x")),
    (lambda: q.embed(payload=b"p", text="t"), lambda: q.embed("t", b"p")),
    (lambda: q.strip(length=1, start=0, text="abc"), lambda: "bc"),
    (lambda: q.strip("abc", length=1, start=1), lambda: "ac"),
    (lambda: q.target_length(manifest_len=2), lambda: 69),
    (lambda: q.compute_data_hash(alg="sha384", text=HOST),
     lambda: qvref.data_hash(HOST, "sha384")),
    (lambda: q.compute_data_hash(HOST), lambda: GOOD),
    (lambda: q.verify_data_hash(exclusions=GOOD["exclusions"], text=HOST,
                                hash=GOOD["hash"]), lambda: None),
])
def test_keyword_binding(call, expected):
    assert call() == expected()


class Holder:
    class Thing:
        pass


def not_str(param, type_name):
    return "argument '%s': '%s' object cannot be converted to 'PyString'" % (
        param, type_name)


def not_bytes(param, type_name):
    return "argument '%s': '%s' object cannot be converted to 'PyBytes'" % (
        param, type_name)


def not_index(param, obj):
    return "argument '%s': %s" % (param, index_error_text(obj))


CONVERT = [
    # text parameters
    (lambda: q.locate_all(b"abc"), not_str("text", "bytes")),
    (lambda: q.extract(None), not_str("text", "NoneType")),
    (lambda: q.extract(bytearray(b"x")), not_str("text", "bytearray")),
    (lambda: q.strip(1, 0, 0), not_str("text", "int")),
    (lambda: q.strip(b"abc", 0, 1), not_str("text", "bytes")),
    (lambda: q.embed(b"x", b"y"), not_str("text", "bytes")),
    (lambda: q.embed(b"x", "y"), not_str("text", "bytes")),
    (lambda: q.compute_data_hash(HOST, alg=b"sha256"),
     not_str("alg", "bytes")),
    (lambda: q.compute_data_hash(HOST, alg=None), not_str("alg", "NoneType")),
    (lambda: q.verify_data_hash(HOST, GOOD["hash"], GOOD["exclusions"], None),
     not_str("alg", "NoneType")),
    (lambda: q.locate_all(Holder.Thing()), not_str("text", "Holder.Thing")),
    # bytes parameters
    (lambda: q.encode("abc"), not_bytes("payload", "str")),
    (lambda: q.encode(bytearray(b"abc")), not_bytes("payload", "bytearray")),
    (lambda: q.encode(memoryview(b"abc")),
     not_bytes("payload", "memoryview")),
    (lambda: q.encode(None), not_bytes("payload", "NoneType")),
    (lambda: q.encode_padded(1), not_bytes("payload", "int")),
    (lambda: q.embed("x", "y"), not_bytes("payload", "str")),
    (lambda: q.verify_data_hash(HOST, bytearray(GOOD["hash"]),
                                GOOD["exclusions"]),
     not_bytes("hash", "bytearray")),
    # size parameters
    (lambda: q.target_length(1.0), not_index("manifest_len", 1.0)),
    (lambda: q.target_length("1"), not_index("manifest_len", "1")),
    (lambda: q.target_length(None), not_index("manifest_len", None)),
    (lambda: q.strip("abc", 0, 1.5), not_index("length", 1.5)),
    (lambda: q.strip("abc", 1.0, 0), not_index("start", 1.0)),
    # arguments are converted in parameter order; the first failure wins
    (lambda: q.strip(b"abc", -1, 1.5), not_str("text", "bytes")),
    (lambda: q.strip("abc", 1.5, -1), not_index("start", 1.5)),
    (lambda: q.verify_data_hash(1, "h", "e", None), not_str("text", "int")),
    (lambda: q.verify_data_hash("t", "h", "e", None),
     not_bytes("hash", "str")),
    (lambda: q.verify_data_hash("t", b"", "e", None),
     "argument 'exclusions': Can't extract `str` to `Vec`"),
    (lambda: q.verify_data_hash("t", b"", [], None),
     not_str("alg", "NoneType")),
]


@pytest.mark.parametrize("call,message", CONVERT)
def test_conversion_type_errors(call, message):
    e = raised(call)
    assert type(e) is TypeError
    assert e.args == (message,)
    assert e.__cause__ is None


class S(str):
    pass


class B(bytes):
    pass


class I(int):
    pass


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("call,expected", [
    (lambda: q.locate_all(S(HOST)), lambda: qvref.locate_all(HOST)),
    (lambda: q.encode(B(b"xy")), lambda: qvref.wrapper(b"xy")),
    (lambda: q.embed(S("t"), B(b"p")), lambda: "t" + qvref.wrapper(b"p")),
    (lambda: q.strip(S("abc"), I(1), I(1)), lambda: "ac"),
    (lambda: type(q.strip(S("abc"), 0, 0)), lambda: str),
    (lambda: q.strip("abc", True, True), lambda: "ac"),
    (lambda: q.strip("abc", Idx(2), Idx(1)), lambda: "ab"),
    (lambda: q.target_length(True), lambda: 65),
    (lambda: q.target_length(False), lambda: 61),
    (lambda: q.target_length(Idx(2)), lambda: 69),
    (lambda: q.target_length(I(3)), lambda: 73),
    (lambda: q.target_length(2 ** 64 - 1), lambda: 4 * (2 ** 64 - 1) + 61),
    (lambda: q.compute_data_hash(S(HOST), S("sha384")),
     lambda: qvref.data_hash(HOST, "sha384")),
    (lambda: q.verify_data_hash(S(HOST), B(GOOD["hash"]), GOOD["exclusions"],
                                S("sha256")), lambda: None),
])
def test_subclasses_and_index_objects_are_accepted(call, expected):
    assert call() == expected()


@pytest.mark.parametrize("call", [
    lambda: q.target_length(-1),
    lambda: q.target_length(2 ** 64),
    lambda: q.target_length(Idx(-5)),
    lambda: q.strip("abc", -1, 1),
    lambda: q.strip("abc", 0, -1),
    lambda: q.strip("abc", 0, 2 ** 64),
    lambda: q.strip("abc", 2 ** 70, 0),
    lambda: q.verify_data_hash(HOST, GOOD["hash"], [(-1, 5)]),
    lambda: q.verify_data_hash(HOST, GOOD["hash"], [(0, 2 ** 64)]),
])
def test_out_of_range_sizes_raise_overflow_error_unprefixed(call):
    e = raised(call)
    assert type(e) is OverflowError
    assert not str(e).startswith("argument")


@pytest.mark.parametrize("call,bad", [
    (lambda: q.locate_all("\ud800"), "\ud800"),
    (lambda: q.extract("ok \udfff"), "ok \udfff"),
    (lambda: q.strip("a\udc80b", 0, 0), "a\udc80b"),
    # the text is read in full before a bad size or range is reported
    (lambda: q.strip("a\udc80b", -1, 0), "a\udc80b"),
    (lambda: q.strip("a\udc80b", 2, 2 ** 64 - 1), "a\udc80b"),
    (lambda: q.strip("\U0001f600" * 9 + "a\udc80b", 1, 1), "\U0001f600" * 9 + "a\udc80b"),
    (lambda: q.embed("\ud83d", b""), "\ud83d"),
    (lambda: q.compute_data_hash("x\ud800"), "x\ud800"),
    (lambda: q.compute_data_hash(HOST, "sha\udfff"), "sha\udfff"),
    # long texts are read a chunk at a time, and hashed as they are read
    (lambda: q.compute_data_hash("\u4e2d" * 9000 + "\ud800", "sha512"), "\u4e2d" * 9000 + "\ud800"),
    (lambda: q.compute_data_hash("x" * 9000 + "\ud800", "sha1"), "x" * 9000 + "\ud800"),
    (lambda: q.verify_data_hash("\u4e2d" * 9000 + "\ud800", b"", [(0, 1)]), "\u4e2d" * 9000 + "\ud800"),
    (lambda: q.verify_data_hash("\udbff", b"", []), "\udbff"),
    # text is converted before the bad alg and the bad exclusions
    (lambda: q.verify_data_hash("\ud800", b"", [(1, 2, 3)], None), "\ud800"),
])
def test_lone_surrogates_raise_the_interpreters_unicode_error(call, bad):
    with pytest.raises(UnicodeEncodeError) as reference:
        bad.encode("utf-8")
    e = raised(call)
    assert type(e) is UnicodeEncodeError
    assert e.args == reference.value.args
    assert str(e) == str(reference.value)


class PlainTypeError(TypeError):
    pass


RAISED = {
    "type": TypeError("index refused"),
    "sub": PlainTypeError("a TypeError subclass"),
    "value": ValueError("index out of luck"),
    "chained": TypeError("chained"),
    "cause": KeyError("root cause"),
}


class Raising:
    def __init__(self, key):
        self.key = key

    def __index__(self):
        if self.key == "non-int":
            return "7"
        if self.key == "chained":
            raise RAISED["chained"] from RAISED["cause"]
        raise RAISED[self.key]


@pytest.mark.parametrize("make_call,name", [
    (lambda obj: q.target_length(obj), "manifest_len"),
    (lambda obj: q.strip("abc", obj, 0), "start"),
    (lambda obj: q.verify_data_hash(HOST, GOOD["hash"], [(0, obj)]),
     "exclusions"),
])
def test_index_failures_follow_the_prefix_rule(make_call, name):
    prefix = "argument '%s': " % name

    e = raised(lambda: make_call(Raising("type")))
    assert type(e) is TypeError and e is not RAISED["type"]
    assert e.args == (prefix + "index refused",)
    assert e.__cause__ is None

    e = raised(lambda: make_call(Raising("non-int")))
    assert type(e) is TypeError
    assert e.args == (prefix + index_error_text(Raising("non-int")),)

    # a TypeError subclass and any other type pass through untouched
    assert raised(lambda: make_call(Raising("sub"))) is RAISED["sub"]
    assert raised(lambda: make_call(Raising("value"))) is RAISED["value"]

    # the replacement takes over the original's cause, and the original
    # itself is chained neither as cause nor as context
    e = raised(lambda: make_call(Raising("chained")))
    assert type(e) is TypeError and e is not RAISED["chained"]
    assert e.args == (prefix + "chained",)
    assert e.__cause__ is RAISED["cause"]
    assert e.__context__ is not RAISED["chained"]
