import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import tolvanex
from conftest import BUILD_PYTHON


def test_text_signatures():
    assert tolvanex.scan.__text_signature__ == "(paths, recursive=True, include_paths=False, summary=False)"
    assert tolvanex.inspect.__text_signature__ == '(path, format="auto", include_paths=False, summary=False)'


def test_module_holds_exactly_the_two_functions():
    from tolvanex import _tolvanex

    public = sorted(name for name in dir(_tolvanex) if not name.startswith("__"))
    assert public == ["inspect", "scan"]
    assert _tolvanex.__doc__ == ""
    assert _tolvanex.__file__.endswith("_tolvanex.abi3.so")


def test_empty_scan_is_an_empty_list():
    assert tolvanex.scan([]) == []
    assert tolvanex.scan(()) == []


@pytest.mark.parametrize(
    "call",
    [
        lambda: tolvanex.scan("a.mph"),
        lambda: tolvanex.scan({"a.mph"}),
        lambda: tolvanex.scan(None),
        lambda: tolvanex.scan(x for x in ["a.mph"]),
        lambda: tolvanex.scan({"a.mph": 1}),
        lambda: tolvanex.scan(["a.mph", 3]),
        lambda: tolvanex.scan(["a.mph", b"b.mph"]),
        lambda: tolvanex.scan([pathlib.Path("a.mph")]),
        lambda: tolvanex.scan([], recursive=1),
        lambda: tolvanex.scan([], recursive=None),
        lambda: tolvanex.scan([], include_paths=0),
        lambda: tolvanex.scan([], summary="yes"),
        lambda: tolvanex.scan(),
        lambda: tolvanex.scan([], True, False, False, 1),
        lambda: tolvanex.scan([], bogus=True),
        lambda: tolvanex.scan([], paths=[]),
        lambda: tolvanex.inspect(b"a.mph"),
        lambda: tolvanex.inspect(pathlib.Path("a.mph")),
        lambda: tolvanex.inspect("a.mph", format=None),
        lambda: tolvanex.inspect("a.mph", format=b"mph"),
        # Flags are converted before the format is parsed.
        lambda: tolvanex.inspect("a.mph", format="bogus", include_paths="yes"),
        lambda: tolvanex.inspect("a.mph", summary=np.int64(1)),
    ],
)
def test_argument_rules_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_sequence_type_error_names_sequence():
    with pytest.raises(TypeError, match="Sequence"):
        tolvanex.scan({"a"})


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        tolvanex.scan(["\udc80.mph"])
    with pytest.raises(UnicodeEncodeError):
        tolvanex.inspect("\udc80.mph")
    with pytest.raises(UnicodeEncodeError):
        tolvanex.inspect("a.mph", format="\udc80")


def test_iteration_errors_propagate_unchanged():
    class Exploding:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            if index == 1:
                raise KeyError("boom")
            return "a.mph"

    with pytest.raises(KeyError, match="boom"):
        tolvanex.scan(Exploding())


def test_numpy_booleans_are_flags(tmp_path):
    assert tolvanex.scan([str(tmp_path)], recursive=np.True_, include_paths=np.False_) == []
    assert tolvanex.scan([str(tmp_path)], recursive=np.bool_(False)) == []


@pytest.mark.parametrize(
    "fmt, message",
    [
        (" auto", "unknown format:  auto"),
        ("bogus", "unknown format: bogus"),
        ("COMSOL", "unknown format: comsol"),
        ("h5", "unknown format: h5"),
    ],
)
def test_format_names_that_are_not_accepted(fmt, message):
    with pytest.raises(RuntimeError) as info:
        tolvanex.inspect("missing.mph", format=fmt)
    assert str(info.value) == message


def test_unsupported_file_format(tmp_path):
    (tmp_path / "notes.txt").write_text("hello")
    os.chdir(tmp_path)
    for fmt in ("auto", "AUTO", "Auto"):
        with pytest.raises(RuntimeError) as info:
            tolvanex.inspect("notes.txt", format=fmt)
        assert str(info.value) == "unsupported file format for notes.txt"
    assert tolvanex.scan(["notes.txt"]) == []


def test_scan_skips_paths_that_do_not_exist(tmp_path):
    assert tolvanex.scan([str(tmp_path / "nope"), "", str(tmp_path / "a\0b.mph")]) == []


def _interpreters():
    found = {sys.executable}
    for candidate in ("/usr/bin/python3",):
        if os.path.exists(candidate):
            found.add(candidate)
    return sorted(found)


@pytest.mark.parametrize("python", _interpreters())
def test_one_build_loads_in_every_cpython(python):
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import tolvanex; "
        "print(tolvanex.scan([]), tolvanex.inspect.__text_signature__)"
    )
    out = subprocess.run([python, "-c", code, str(BUILD_PYTHON)], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == '[] (path, format="auto", include_paths=False, summary=False)'


def test_reinitialisation_returns_the_same_module():
    # Calling the initialiser again (as a re-import that reaches it would) hands out the
    # module object made the first time.
    code = (
        "import sys, ctypes; sys.path.insert(0, sys.argv[1]); from tolvanex import _tolvanex as a; "
        "init = ctypes.PyDLL(a.__file__).PyInit__tolvanex; init.restype = ctypes.py_object; "
        "print(init() is a, init() is a)"
    )
    out = subprocess.run([sys.executable, "-c", code, str(BUILD_PYTHON)], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "True True"


def test_reimport_gives_the_same_module_and_a_second_interpreter_is_refused():
    code = (
        "import sys, importlib; sys.path.insert(0, sys.argv[1]); "
        "from tolvanex import _tolvanex as a; del sys.modules['tolvanex._tolvanex']; "
        "b = importlib.import_module('tolvanex._tolvanex'); print(a is b); "
        "import _xxsubinterpreters as si; i = si.create(); "
        "si.run_string(i, 'import sys; sys.path.insert(0, %r); import tolvanex' % sys.argv[1])"
    )
    out = subprocess.run([sys.executable, "-c", code, str(BUILD_PYTHON)], capture_output=True, text=True)
    assert out.stdout.strip() == "True"
    assert "ImportError" in out.stderr and "only once per process" in out.stderr
