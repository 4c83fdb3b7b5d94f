"""Signatures on the API pages from the type stubs instead of pybind11's docstring lines.

pybind11 writes what its casters take into each docstring's first line ("self:
_brevacon.Brevacon", "port: typing.SupportsInt | typing.SupportsIndex"); the stubs in
python/<module>-stubs state what callers pass and get, and are what type checkers hold callers
to. A member without a stub entry keeps pybind11's signature.

The stubs also give the member order. A compiled module has no source for autodoc's
``bysource`` order to read, so members would come alphabetically (``__enter__`` first); the
stubs list them as the bindings define them.
"""

from __future__ import annotations

import ast
import functools
import pathlib
from typing import Any

from sphinx.pycode import ModuleAnalyzer

STUBS = pathlib.Path(__file__).resolve().parents[2] / "python"


@functools.cache
def stub_functions(module: str) -> dict[str, ast.FunctionDef]:
    """`Class.method` (and `Class` for its __init__) to the stub's definition."""
    path = STUBS / f"{module}-stubs" / "__init__.pyi"
    if not path.exists():
        return {}
    found: dict[str, ast.FunctionDef] = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
                    if item.name == "__init__":
                        found[node.name] = item
    return found


def signature_from_stub(
    app: Any, what: str, name: str, obj: Any, options: Any, signature: str, return_annotation: str
) -> tuple[str, str | None] | None:
    module, _, qualname = name.partition(".")
    node = stub_functions(module).get(qualname)
    if node is None or what != "method" or signature is None:
        return None
    arguments = ast.arguments(
        posonlyargs=[], args=node.args.args[1:], vararg=node.args.vararg,
        kwonlyargs=node.args.kwonlyargs, kw_defaults=node.args.kw_defaults,
        kwarg=node.args.kwarg, defaults=node.args.defaults)
    returns = ast.unparse(node.returns) if node.returns is not None else None
    return f"({ast.unparse(arguments)})", returns


def skip_refused_constructor(
    app: Any, what: str, name: str, obj: Any, skip: bool, options: Any
) -> bool | None:
    """A class Python cannot construct has a stub __init__ no call satisfies: list none."""
    if name != "__init__" or not hasattr(obj, "__objclass__"):
        return None
    cls = obj.__objclass__
    node = stub_functions(cls.__module__).get(f"{cls.__name__}.__init__")
    if node is not None and any(
        a.annotation is not None and ast.unparse(a.annotation) == "Never" for a in node.args.args
    ):
        return True
    return None


def order_members_as_the_stubs(app: Any) -> None:
    """Hands autodoc each stub as its module's source, for the member order alone."""
    for path in sorted(STUBS.glob("*-stubs/__init__.pyi")):
        module = path.parent.name.removesuffix("-stubs")
        analyzer = ModuleAnalyzer.for_string(path.read_text(), module, srcname=path)
        analyzer.analyze()
        # Docstrings, annotations and signatures stay those of the module and of the signature
        # hook above; only the stub's order of definitions (tagorder) is used.
        for found in (analyzer.attr_docs, analyzer.annotations, analyzer.overloads):
            found.clear()
        analyzer.finals.clear()
        ModuleAnalyzer.cache["module", module] = analyzer


def setup(app: Any) -> dict[str, Any]:
    app.connect("builder-inited", order_members_as_the_stubs)
    app.connect("autodoc-process-signature", signature_from_stub)
    app.connect("autodoc-skip-member", skip_refused_constructor)
    return {"parallel_read_safe": True}
