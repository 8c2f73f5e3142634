"""Import behaviour, the module object and the shared library itself."""

import inspect
import shutil
import subprocess
import sys

import pytest

import halyard
from halyard import _halyard_rs as mod


def test_version_and_docstring():
    assert mod.__version__ == "0.1.0"
    assert halyard.__version__ == "0.1.0"
    assert mod.__doc__ == "Halyard Python module"


def test_package_reexports_every_public_name():
    public = [name for name in vars(mod) if not name.startswith("_")]
    assert public
    for name in public:
        assert getattr(halyard, name) is getattr(mod, name)


def test_classes_report_builtins_and_bare_names():
    classes = [obj for obj in vars(mod).values() if isinstance(obj, type)]
    assert classes
    for cls in classes:
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__


def test_every_callable_has_a_signature():
    for name, obj in vars(mod).items():
        if name.startswith("_") or issubclass(type(obj), BaseException):
            continue
        if callable(obj) and not isinstance(obj, type):
            assert inspect.signature(obj) is not None, name
        if isinstance(obj, type):
            for attr, member in vars(obj).items():
                if attr.startswith("_") or not callable(member):
                    continue
                assert inspect.signature(getattr(obj, attr)) is not None, f"{name}.{attr}"


def test_import_does_not_import_numpy_but_first_array_use_does(python_subprocess):
    result = python_subprocess(
        """
        import sys
        import halyard._halyard_rs as m
        assert "numpy" not in sys.modules, "numpy imported at import time"
        m.TrajectoryCoordinate.root().distance(m.TrajectoryCoordinate.root())
        assert "numpy" not in sys.modules
        import numpy as np
        print(m.normalize(np.array([3, 4], dtype=np.float32)).tolist())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[0.6000000238418579, 0.800000011920929]"


def test_reimport_returns_the_identical_module(python_subprocess):
    result = python_subprocess(
        """
        import sys
        import halyard._halyard_rs as first
        cls = first.TrajectoryCoordinate
        del sys.modules["halyard._halyard_rs"]
        import importlib
        second = importlib.import_module("halyard._halyard_rs")
        assert second is first
        assert second.TrajectoryCoordinate is cls
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_second_interpreter_cannot_import(python_subprocess):
    result = python_subprocess(
        """
        import _xxsubinterpreters as interpreters
        import halyard._halyard_rs
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import halyard._halyard_rs")
        except Exception as exc:
            print(type(exc).__name__, exc)
        else:
            print("imported")
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout and "sub-interpreters" in result.stdout


def test_failed_numpy_access_is_an_internal_failure(python_subprocess):
    result = python_subprocess(
        """
        import sys
        sys.modules["numpy"] = None  # importing numpy now fails
        import halyard._halyard_rs as m
        try:
            m.normalize([1.0])
        except Exception as exc:
            print("Exception", exc)
        except BaseException as exc:
            print(type(exc).__name__, issubclass(type(exc), Exception), exc)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "InternalFailure False Failed to access NumPy array API capsule"


def test_library_exports_only_the_entry_point():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    if sys.platform.startswith("linux"):
        command, entry = [nm, "-D", "--defined-only"], "PyInit__halyard_rs"
    elif sys.platform == "darwin":
        command, entry = [nm, "-g", "-U"], "_PyInit__halyard_rs"
    else:
        pytest.skip("export tables are read from ELF and Mach-O files only")
    out = subprocess.run([*command, mod.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == [entry]
    assert mod.__file__.endswith("_halyard_rs.abi3.so")
