"""The installed type stubs agree with the module, and a type checker that
reads them catches a call of the wrong type in user code."""
import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quorvane

EMPTY = inspect.Parameter.empty


def stub_path():
    # The wheel installs the stub-only package beside the extension module.
    path = pathlib.Path(quorvane.__file__).parent / "quorvane-stubs" / "__init__.pyi"
    assert path.is_file(), "no quorvane-stubs beside %s" % quorvane.__file__
    return path


@pytest.fixture(scope="module")
def stub():
    return ast.parse(stub_path().read_text(encoding="utf-8"))


def functions(tree):
    return {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}


def annotated(tree):
    return {n.target.id: n for n in tree.body
            if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)}


def stub_params(fn):
    a = fn.args
    assert not a.posonlyargs and not a.kwonlyargs and a.vararg is None and a.kwarg is None
    defaults = [EMPTY] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    return [(arg.arg, default) for arg, default in zip(a.args, defaults)]


def test_stub_lists_exactly_the_module_names(stub):
    declared = [n for n in list(functions(stub)) + list(annotated(stub))
                if n.startswith("__") or not n.startswith("_")]
    all_value = next(ast.literal_eval(n.value) for n in stub.body if isinstance(n, ast.Assign)
                     and [t.id for t in n.targets] == ["__all__"])
    assert all_value == quorvane.__all__
    assert sorted(declared) == sorted(quorvane.__all__)


@pytest.mark.parametrize("name", [n for n in quorvane.__all__ if callable(getattr(quorvane, n))])
def test_parameters_match_the_runtime_signature(stub, name):
    runtime = [(p.name, p.default) for p in inspect.signature(getattr(quorvane, name)).parameters.values()]
    kinds = {p.kind for p in inspect.signature(getattr(quorvane, name)).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert stub_params(functions(stub)[name]) == runtime


def test_constants_match(stub):
    consts = annotated(stub)
    assert ast.literal_eval(consts["MARKER"].value) == quorvane.MARKER
    assert ast.literal_eval(consts["VERSION"].value) == quorvane.VERSION


def conforms(value, ann, aliases):
    """Whether a runtime value has the type the stub annotation states."""
    if isinstance(ann, ast.Name):
        if ann.id in aliases:
            return conforms(value, aliases[ann.id], aliases)
        return type(value).__name__ == ann.id
    if isinstance(ann, ast.Subscript) and isinstance(ann.value, ast.Name):
        args = ann.slice.elts if isinstance(ann.slice, ast.Tuple) else [ann.slice]
        if ann.value.id == "Literal":
            return value in [ast.literal_eval(a) for a in args]
        if ann.value.id == "List":
            return type(value) is list and all(conforms(v, args[0], aliases) for v in value)
        if ann.value.id == "Tuple":
            return (type(value) is tuple and len(value) == len(args)
                    and all(conforms(v, a, aliases) for v, a in zip(value, args)))
    raise AssertionError("annotation not understood: " + ast.unparse(ann))


def typed_dict_fields(stub, name):
    cls = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == name)
    return [(n.target.id, n.annotation) for n in cls.body if isinstance(n, ast.AnnAssign)]


@pytest.mark.parametrize("typed_dict,call", [
    ("_Wrapper", lambda t: quorvane.extract(t)),
    ("_DataHash", lambda t: quorvane.compute_data_hash(t)),
    ("_DataHash", lambda t: quorvane.compute_data_hash(t, "sha512")),
])
def test_results_have_the_stubbed_shape(stub, typed_dict, call):
    aliases = {n.targets[0].id: n.value for n in stub.body
               if isinstance(n, ast.Assign) and isinstance(n.targets[0], ast.Name)}
    result = call("Grüße " + quorvane.encode_padded(b"\x00store\xff"))
    fields = typed_dict_fields(stub, typed_dict)
    assert list(result) == [name for name, _ in fields]
    for name, ann in fields:
        assert conforms(result[name], ann, aliases), (name, result[name], ast.unparse(ann))


# A user's script: every function used as documented, each result checked
# with assert_type, and one call of the wrong type (a str for an int).
SAMPLE = textwrap.dedent('''\
    from typing import TYPE_CHECKING, List, Optional, Tuple

    import quorvane

    if TYPE_CHECKING:
        from typing_extensions import assert_type

        from quorvane import _DataHash, _Wrapper
    else:
        def assert_type(value, typ):
            return value

    store = b"\\x00manifest store"
    signed = quorvane.embed("Provenance travels with the words.", store)
    assert_type(signed, str)
    assert_type(quorvane.encode(store), str)
    padded = "Grüße " + quorvane.encode_padded(store)
    assert_type(quorvane.target_length(len(store)), int)
    found = quorvane.extract(padded)
    assert_type(found, Optional["_Wrapper"])
    assert found is not None
    assert_type(found["payload"], bytes)
    visible = quorvane.strip(padded, found["start"], found["length"])
    assert_type(visible, str)
    ranges: List[Tuple[int, int]] = quorvane.locate_all(padded)
    binding = quorvane.compute_data_hash(padded, alg="sha384")
    assert_type(binding, "_DataHash")
    assert_type(binding["hash"], bytes)
    quorvane.verify_data_hash(padded, binding["hash"], binding["exclusions"], binding["alg"])
    marker: str = quorvane.MARKER
    version: int = quorvane.VERSION
    try:
        quorvane.target_length("12")  # WRONG
    except TypeError:
        pass
    print("sample ran")
''')


def test_mypy_reports_only_the_wrong_call(tmp_path):
    api = pytest.importorskip("mypy.api")
    stub_path()
    script = tmp_path / "user_script.py"
    script.write_text(SAMPLE, encoding="utf-8")
    out, err, status = api.run(["--strict", "--no-incremental", "--cache-dir", "/dev/null",
                                "--hide-error-context", "--no-error-summary", str(script)])
    wrong_line = SAMPLE.splitlines().index('    quorvane.target_length("12")  # WRONG') + 1
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert len(errors) == 1, out + err
    assert errors[0].startswith("%s:%d: error:" % (script, wrong_line)), out
    assert '"target_length"' in errors[0] and "[arg-type]" in errors[0], out
    assert status == 1


def test_sample_runs_against_the_module(tmp_path):
    script = tmp_path / "user_script.py"
    script.write_text(SAMPLE, encoding="utf-8")
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (0, "sample ran\n", "")
