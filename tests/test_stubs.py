"""The type stubs describe the native module as it is.

stubtest compares signatures, properties and members of the classes it can
see, but it cannot tell a class missing from the stub (every class reports
`__module__` "builtins"), nor whether a class can be constructed, supports
len() or is an enumeration without a hash. Those are checked here from the
parsed stub.
"""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import halyard
from halyard import _halyard_rs as mod

PACKAGE_DIR = Path(halyard.__file__).resolve().parent
STUB = PACKAGE_DIR / "_halyard_rs.pyi"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_classes(tree):
    return [node for node in tree.body if isinstance(node, ast.ClassDef)]


def runtime_public():
    classes, functions = [], []
    for name, obj in vars(mod).items():
        if name.startswith("_"):
            continue
        (classes if isinstance(obj, type) else functions).append(name)
    return classes, functions


def member_names(class_node):
    names = []
    for node in class_node.body:
        if isinstance(node, ast.FunctionDef):
            names.append(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.append(node.target.id)
    return names


def has_no_constructor(cls):
    try:
        cls()
    except TypeError as exc:
        return str(exc) == f"No constructor defined for {cls.__name__}"
    return False


def is_enumeration(cls):
    return "__int__" in vars(cls)


def run_mypy_tool(args, cwd):
    env = dict(os.environ)
    if "site-packages" not in PACKAGE_DIR.parts:
        # A working tree: point the tools at it. An installed package is found
        # through its py.typed marker (mypy refuses site-packages on MYPYPATH).
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(PACKAGE_DIR.parent), env.get("PYTHONPATH")) if p)
        env["MYPYPATH"] = str(PACKAGE_DIR.parent)
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


def test_stubtest_finds_no_errors(tmp_path):
    pytest.importorskip("mypy.stubtest")
    result = run_mypy_tool(["mypy.stubtest", "halyard._halyard_rs"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check_against_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    if not EXAMPLES.is_dir():
        pytest.skip("no examples next to the tests")
    result = run_mypy_tool(["mypy", "--cache-dir", str(tmp_path / "cache"), str(EXAMPLES)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_and_module_define_the_same_names_in_the_same_order():
    tree = stub_tree()
    classes, functions = runtime_public()
    stub_class_names = [node.name for node in stub_classes(tree)]
    stub_function_names = [node.name for node in tree.body if isinstance(node, ast.FunctionDef)]

    assert sorted(set(classes) - set(stub_class_names)) == [], "classes missing from the stub"
    assert sorted(set(stub_class_names) - set(classes)) == [], "stub classes the module does not have"
    assert sorted(set(functions) - set(stub_function_names)) == [], "functions missing from the stub"
    assert sorted(set(stub_function_names) - set(functions)) == [], "stub functions the module does not have"
    assert stub_class_names == classes
    assert stub_function_names == functions

    annotated = {
        node.target.id for node in tree.body if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
    }
    assert "__version__" in annotated


def test_every_stub_class_is_final_and_matches_construction_and_len():
    problems = []
    for node in stub_classes(stub_tree()):
        cls = getattr(mod, node.name, None)
        if cls is None:
            continue  # reported by the name comparison
        decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
        if "final" not in decorators:
            problems.append(f"{node.name}: not marked @final")
        members = member_names(node)
        if ("__new__" in members) == has_no_constructor(cls):
            problems.append(f"{node.name}: stub __new__ {'present' if '__new__' in members else 'absent'}")
        if ("__len__" in members) != hasattr(cls, "__len__"):
            problems.append(f"{node.name}: stub __len__ disagrees with len() support")
    assert problems == []


def test_enumerations_list_their_variants_in_order_and_have_no_hash():
    problems = []
    for node in stub_classes(stub_tree()):
        cls = getattr(mod, node.name, None)
        if cls is None or not is_enumeration(cls):
            continue
        runtime_variants = [name for name, value in vars(cls).items() if isinstance(value, cls)]
        stub_variants = []
        hash_is_none = False
        for item in node.body:
            if not (isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)):
                continue
            annotation = ast.unparse(item.annotation)
            if item.target.id == "__hash__":
                hash_is_none = annotation == "ClassVar[None]"
            elif annotation == f"ClassVar[{node.name}]":
                stub_variants.append(item.target.id)
        if stub_variants != runtime_variants:
            problems.append(f"{node.name}: variants {stub_variants} != {runtime_variants}")
        if not hash_is_none or cls.__hash__ is not None:
            problems.append(f"{node.name}: hash must be None in stub and module")
        for dunder in ("__int__", "__eq__", "__ne__"):
            if dunder not in member_names(node):
                problems.append(f"{node.name}: {dunder} missing")
    assert problems == []
