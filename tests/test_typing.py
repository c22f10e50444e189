"""The installed type stub: where it lies, what mypy --strict makes of it, and that it matches the
module it describes."""

import ast
import importlib.util
import inspect
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import ombrel

pytest.importorskip("mypy", reason="mypy is not installed (pip install -r requirements-dist.txt)")

TESTS = Path(__file__).resolve().parent
EXAMPLES = TESTS.parent / "examples"
# Third-party packages whose public functions carry no annotations; calls into them are not errors.
MYPY = [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--hide-error-context",
        "--untyped-calls-exclude=dask", "--untyped-calls-exclude=distributed"]


@pytest.fixture(scope="module")
def mypy_cache():
    with tempfile.TemporaryDirectory(prefix="ombrel-mypy-") as cache:
        yield cache


def run_mypy(cache, *paths, cwd=None):
    return subprocess.run(MYPY + ["--cache-dir", cache, *map(str, paths)],
                          capture_output=True, text=True, timeout=300, cwd=cwd)


def installed_stub():
    return Path(ombrel.__file__).parent / "ombrel-stubs" / "__init__.pyi"


def test_stub_is_installed_beside_the_module_and_documents_it():
    stub = installed_stub()
    assert stub.is_file(), f"no stub package beside {ombrel.__file__}"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    assert set(ombrel.__all__) <= functions.keys() | classes.keys()
    assert "PanicException" not in functions.keys() | classes.keys()

    # The class and method docstrings are the module's own, word for word.
    field_class = classes["OmbrelField"]
    assert inspect.cleandoc(ast.get_docstring(field_class)) == ombrel.OmbrelField.__doc__
    methods = {n.name: n for n in field_class.body if isinstance(n, ast.FunctionDef)}
    public = {name for name in vars(ombrel.OmbrelField) if not name.startswith("_")}
    assert public <= methods.keys()
    for name in public:
        assert ast.get_docstring(methods[name]) == getattr(ombrel.OmbrelField, name).__doc__, name
    # tokenize has no runtime docstring; the stub is where it is documented.
    assert ombrel.tokenize.__doc__ is None
    assert ast.get_docstring(functions["tokenize"])


def test_stub_matches_the_runtime_signatures():
    # stubtest imports the module and compares every name, parameter name and kind, and @final
    # with the stub that mypy finds for it: a renamed parameter or a missing method fails here.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ombrel"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_passes_strict_and_runs(mypy_cache):
    examples = sorted(p for p in EXAMPLES.glob("*.py") if "ombrel" in p.read_text(encoding="utf-8"))
    result = run_mypy(mypy_cache, TESTS / "typing_usage.py", *examples)
    assert result.returncode == 0, result.stdout + result.stderr
    # The same file against the module itself: everything the stub accepted there really works.
    spec = importlib.util.spec_from_file_location("typing_usage", TESTS / "typing_usage.py")
    usage = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(usage)
    usage.main()


# Each line is refused by mypy; the runtime column says what the module raises for it (None where
# the mistake is about types only).
MISUSES = [
    ('field.predict("abc")', TypeError),
    ("field.predict({1, 2})", TypeError),
    ("field.predict([1.5])", TypeError),
    ("field.predict(tokens=[1])", TypeError),
    ('field.predict_batch([[1], "ab"])', TypeError),
    ("field.train_batch([[[1], 2]], 1, 1)", TypeError),
    ("field.train_batch([([1], 2, 3)], 1, 1)", ValueError),
    ("field.train_stream([1], 0, 1.0, 1)", TypeError),
    ('field.tick_decay("0.5")', TypeError),
    ('field.save_weights(pathlib.Path("w.bin"))', TypeError),
    ('field.load_weights(b"w.bin")', TypeError),
    ("field.reset_potentials(0)", TypeError),
    ("ombrel.OmbrelField(4.0, 2)", TypeError),
    ('ombrel.tokenize("a b", ["the"], True, 1)', TypeError),
    ('ombrel.tokenize("a b", set(), 1, 1)', TypeError),
    ('ombrel.tokenize("a b", set(), True, "1")', TypeError),
    ('ombrel.tokenize(b"a b", set(), True, 1)', TypeError),
    ("ombrel.PanicException", AttributeError),
    ("class Mine(ombrel.OmbrelField): pass", TypeError),
    ('motor: str = field.predict([1])', None),
    ('words: list[int] = ombrel.tokenize("a", set(), True, 1)', None),
    ("pairs: list[int] = field.get_neuron_synapses(0)", None),
    ("nothing: int = field.train_stream([1], 0, 1, 1)", None),
]


def test_stub_refuses_what_the_module_refuses(mypy_cache, tmp_path):
    header = ["import pathlib", "import ombrel", "field = ombrel.OmbrelField(4, 2)"]
    source = tmp_path / "misuse.py"
    source.write_text("\n".join(header + [line for line, _ in MISUSES]) + "\n", encoding="utf-8")
    result = run_mypy(mypy_cache, source.name, cwd=tmp_path)
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines()
               if line.startswith(source.name + ":") and ": error:" in line}
    expected = set(range(len(header) + 1, len(header) + len(MISUSES) + 1))
    missed = [MISUSES[n - len(header) - 1][0] for n in sorted(expected - flagged)]
    assert not missed, f"mypy accepted: {missed}\n{result.stdout}"
    assert flagged == expected, result.stdout

    import pathlib  # noqa: F401 - used by the snippets
    field = ombrel.OmbrelField(4, 2)
    for line, error in MISUSES:
        if error is None:
            continue
        with pytest.raises(error):
            exec(line, {"ombrel": ombrel, "field": field, "pathlib": pathlib})

