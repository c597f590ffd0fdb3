import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import tolvanex
from conftest import BUILD_PYTHON, inspect_error


def test_module_holds_exactly_the_two_functions_with_their_signatures():
    from tolvanex import _tolvanex

    assert sorted(name for name in dir(_tolvanex) if not name.startswith("__")) == ["inspect", "scan"]
    assert _tolvanex.__doc__ == "" and _tolvanex.__file__.endswith("_tolvanex.abi3.so")
    assert tolvanex.scan.__text_signature__ == "(paths, recursive=True, include_paths=False, summary=False)"
    assert tolvanex.inspect.__text_signature__ == '(path, format="auto", include_paths=False, summary=False)'


class Exploding:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 1:
            raise KeyError("boom")
        return "a.mph"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: tolvanex.scan("a.mph"), TypeError),
        (lambda: tolvanex.scan({"a.mph"}), TypeError),
        (lambda: tolvanex.scan(None), TypeError),
        (lambda: tolvanex.scan(x for x in ["a.mph"]), TypeError),
        (lambda: tolvanex.scan({"a.mph": 1}), TypeError),
        (lambda: tolvanex.scan(["a.mph", 3]), TypeError),
        (lambda: tolvanex.scan(["a.mph", b"b.mph"]), TypeError),
        (lambda: tolvanex.scan([pathlib.Path("a.mph")]), TypeError),
        (lambda: tolvanex.scan([], recursive=1), TypeError),
        (lambda: tolvanex.scan([], recursive=None), TypeError),
        (lambda: tolvanex.scan([], include_paths=0), TypeError),
        (lambda: tolvanex.scan([], summary="yes"), TypeError),
        (lambda: tolvanex.scan(), TypeError),
        (lambda: tolvanex.scan([], True, False, False, 1), TypeError),
        (lambda: tolvanex.scan([], bogus=True), TypeError),
        (lambda: tolvanex.scan([], paths=[]), TypeError),
        (lambda: tolvanex.inspect(b"a.mph"), TypeError),
        (lambda: tolvanex.inspect(pathlib.Path("a.mph")), TypeError),
        (lambda: tolvanex.inspect("a.mph", format=None), TypeError),
        (lambda: tolvanex.inspect("a.mph", format=b"mph"), TypeError),
        # Flags are converted before the format is parsed.
        (lambda: tolvanex.inspect("a.mph", format="bogus", include_paths="yes"), TypeError),
        (lambda: tolvanex.inspect("a.mph", summary=np.int64(1)), TypeError),
        (lambda: tolvanex.inspect("a.mph", summary=None), TypeError),
        (lambda: tolvanex.scan(["\udc80.mph"]), UnicodeEncodeError),
        (lambda: tolvanex.inspect("\udc80.mph"), UnicodeEncodeError),
        (lambda: tolvanex.inspect("a.mph", format="\udc80"), UnicodeEncodeError),
        (lambda: tolvanex.scan(Exploding()), KeyError),
    ],
)
def test_argument_rules(call, error):
    with pytest.raises(error):
        call()


def test_a_paths_object_that_is_no_sequence_is_named_so():
    with pytest.raises(TypeError, match="Sequence"):
        tolvanex.scan({"a"})


@pytest.mark.parametrize("summary", [False, True, np.True_])
def test_scans_that_find_nothing_are_empty_lists(tmp_path, summary):
    (tmp_path / "notes.txt").write_text("x")
    (tmp_path / "sub").mkdir()
    paths = [str(tmp_path), str(tmp_path / "nope"), "", str(tmp_path / "a\0b.mph"), str(tmp_path / "notes.txt")]
    assert tolvanex.scan([], summary=summary) == [] and tolvanex.scan((), summary=summary) == []
    assert tolvanex.scan(paths, recursive=np.bool_(False), include_paths=np.False_, summary=summary) == []


@pytest.mark.parametrize(
    "fmt, message",
    [
        ("auto", "unsupported file format for notes.txt"),
        ("AUTO", "unsupported file format for notes.txt"),
        (" auto", "unknown format:  auto"),
        ("COMSOL", "unknown format: comsol"),
    ],
)
@pytest.mark.parametrize("summary", [False, True])
def test_format_errors_with_and_without_summary(tmp_path, fmt, message, summary):
    (tmp_path / "notes.txt").write_text("hello")
    os.chdir(tmp_path)
    assert inspect_error("notes.txt", fmt, summary) == message


def run(python, code):
    return subprocess.run([python, "-c", code, str(BUILD_PYTHON)], capture_output=True, text=True)


@pytest.mark.parametrize("python", sorted({sys.executable} | {p for p in ["/usr/bin/python3"] if os.path.exists(p)}))
def test_one_build_loads_in_every_cpython(python):
    out = run(python, "import sys; sys.path.insert(0, sys.argv[1]); import tolvanex; "
                      "print(tolvanex.scan([]), tolvanex.inspect.__text_signature__)")
    assert out.stdout.strip() == '[] (path, format="auto", include_paths=False, summary=False)', out.stderr


def test_initialisation_hands_out_one_module_and_refuses_a_second_interpreter():
    # Calling the initialiser again, or importing anew, gives the module made the first time.
    out = run(sys.executable, (
        "import sys, ctypes, importlib; sys.path.insert(0, sys.argv[1]); from tolvanex import _tolvanex as a; "
        "init = ctypes.PyDLL(a.__file__).PyInit__tolvanex; init.restype = ctypes.py_object; "
        "del sys.modules['tolvanex._tolvanex']; b = importlib.import_module('tolvanex._tolvanex'); "
        "print(init() is a, init() is a, a is b); "
        "import _xxsubinterpreters as si; i = si.create(); "
        "si.run_string(i, 'import sys; sys.path.insert(0, %r); import tolvanex' % sys.argv[1])"))
    assert out.stdout.strip() == "True True True"
    assert "ImportError" in out.stderr and "only once per process" in out.stderr
