"""The hand-written stubs (PEP 561 stub-only packages python/<module>-stubs) must describe the
compiled modules: same classes, same public members, same parameter names and defaults, and no
constructor where Python has none. Stubs drift; this keeps them honest."""

from __future__ import annotations

import ast
import importlib
import pathlib
import re

import pytest

STUB_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"


def stub_classes(module_name: str) -> dict[str, dict[str, ast.AST]]:
    tree = ast.parse((STUB_DIR / f"{module_name}-stubs" / "__init__.pyi").read_text())
    classes: dict[str, dict[str, ast.AST]] = {}
    for node in tree.body:
        # A TypedDict only describes a plain dict the module returns: no class at run time.
        if isinstance(node, ast.ClassDef) and not any(
            ast.unparse(base) == "TypedDict" for base in node.bases
        ):
            classes[node.name] = {
                item.name if not isinstance(item, ast.AnnAssign) else item.target.id: item
                for item in node.body
                if isinstance(item, (ast.FunctionDef, ast.AnnAssign))
            }
    return classes


def stub_reexports(module_name: str) -> set[str]:
    """Names a stub takes from _brevacon, as _tandrel does for the classes both modules share."""
    tree = ast.parse((STUB_DIR / f"{module_name}-stubs" / "__init__.pyi").read_text())
    return {
        alias.asname or alias.name
        for node in tree.body
        if isinstance(node, ast.ImportFrom) and node.module == "_brevacon"
        for alias in node.names
    }


def has_constructor(cls: type) -> bool:
    """A bound constructor carries pybind11's signature line; without one, __init__ refuses.
    The exception classes are plain Python classes: they construct as RuntimeError does."""
    if issubclass(cls, BaseException):
        return True
    return (getattr(vars(cls).get("__init__"), "__doc__", "") or "").startswith("__init__(")


def runtime_members(cls: type) -> set[str]:
    names = {name for name in vars(cls) if not name.startswith("_")}
    names |= {name for name in ("__enter__", "__exit__") if name in vars(cls)}
    if has_constructor(cls) and "__init__" in vars(cls):
        names.add("__init__")
    return names


def runtime_parameters(function: object) -> list[tuple[str, str | None]]:
    """Parameter names and default texts from pybind11's signature line."""
    first = (getattr(function, "__doc__", "") or "").splitlines()[0]
    match = re.match(r"^\w+\((.*)\) ->", first)
    assert match, first
    params = []
    depth = 0
    current = ""
    for ch in match.group(1):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        if ch == "," and depth == 0:
            params.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip():
        params.append(current.strip())
    result = []
    for param in params[1:]:  # skip self
        name = param.split(":")[0].strip()
        default = param.split("=", 1)[1].strip() if "=" in param else None
        result.append((name, default))
    return result


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, str | None]]:
    """As runtime_parameters gives them: keyword-only ones after a bare "*"."""
    args = node.args.args[1:]
    defaults = [None] * (len(args) - len(node.args.defaults)) + [
        ast.unparse(d) for d in node.args.defaults
    ]
    params = [(a.arg, d) for a, d in zip(args, defaults)]
    if node.args.kwonlyargs:
        params.append(("*", None))
        params += [
            (a.arg, None if d is None else ast.unparse(d))
            for a, d in zip(node.args.kwonlyargs, node.args.kw_defaults)
        ]
    return params


@pytest.mark.parametrize("module_name", ["_brevacon", "_tandrel"])
def test_stub_classes_and_members_match_module(module_name: str) -> None:
    importlib.import_module("_brevacon")  # _tandrel hands out the Brevacon type it registers
    module = importlib.import_module(module_name)
    stubs = stub_classes(module_name)
    runtime = {name for name, value in vars(module).items() if isinstance(value, type)}
    assert set(stubs) == runtime - stub_reexports(module_name)
    for class_name, members in stubs.items():
        cls = getattr(module, class_name)
        expected = {m for m in runtime_members(cls) if not isinstance(vars(cls)[m], int)}
        if isinstance(cls, type) and hasattr(cls, "__members__"):
            expected -= {"name", "value"} | set(cls.__members__)
            expected |= set(cls.__members__) & set(members)
        assert set(members) >= expected, f"{class_name}: stub lacks {expected - set(members)}"


@pytest.mark.parametrize("module_name", ["_brevacon", "_tandrel"])
def test_stub_signatures_match_module(module_name: str) -> None:
    importlib.import_module("_brevacon")
    module = importlib.import_module(module_name)
    for class_name, members in stub_classes(module_name).items():
        cls = getattr(module, class_name)
        if hasattr(cls, "__members__"):
            continue  # enumerations: members checked above
        for name, node in members.items():
            if not isinstance(node, ast.FunctionDef) or (
                name.startswith("__") and name not in ("__init__", "__exit__")
            ):
                continue
            if name == "__init__" and not has_constructor(cls):
                continue  # test_stubs_refuse_construction_where_python_does
            runtime = getattr(cls, name)
            if isinstance(runtime, property):
                continue
            params = runtime_parameters(runtime)
            stub = stub_parameters(node)
            assert [p for p, _ in params] == [p for p, _ in stub], f"{class_name}.{name}"
            for (pname, rdefault), (_, sdefault) in zip(params, stub):
                assert (rdefault is None) == (sdefault is None), f"{class_name}.{name}({pname})"
                if rdefault is not None:
                    assert rdefault.replace("'", '"') == sdefault.replace("'", '"'), (
                        f"{class_name}.{name}({pname}): {rdefault} != {sdefault}"
                    )


@pytest.mark.parametrize("module_name", ["_brevacon", "_tandrel"])
def test_stubs_refuse_construction_where_python_does(module_name: str) -> None:
    importlib.import_module("_brevacon")
    module = importlib.import_module(module_name)
    for class_name, members in stub_classes(module_name).items():
        cls = getattr(module, class_name)
        init = members.get("__init__")
        # An __init__ with a required parameter typed Never: no call type-checks.
        refused = isinstance(init, ast.FunctionDef) and any(
            a.annotation is not None and ast.unparse(a.annotation) == "Never"
            for a in init.args.args[1 : len(init.args.args) - len(init.args.defaults)]
        )
        assert refused == (not has_constructor(cls)), class_name
        if refused:
            with pytest.raises(TypeError, match="No constructor defined"):
                cls()
