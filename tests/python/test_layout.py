"""The package's layout: no import circles, and no module importing from a package above it
(a subpackage is built on the ones below it, never on the package's root)."""

from __future__ import annotations

import ast
import importlib
import sys
from pathlib import Path

import pytest

import pxvorel

ROOT = Path(pxvorel.__file__).parent


def _module_name(path: Path) -> str:
    parts = path.relative_to(ROOT.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports() -> dict[str, set[str]]:
    """The pxvorel modules each module of the package imports (at any depth of its code)."""
    modules = {_module_name(p): p for p in ROOT.rglob("*.py")}
    imports: dict[str, set[str]] = {}
    for name, path in modules.items():
        found: set[str] = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and node.module and node.module.split(".")[0] == "pxvorel":
                named = {f"{node.module}.{alias.name}" for alias in node.names} & modules.keys()
                found |= named or {node.module}
            elif isinstance(node, ast.Import):
                found |= {alias.name for alias in node.names if alias.name.split(".")[0] == "pxvorel"}
        imports[name] = found - {name}
    return imports


def test_no_import_circles_and_none_that_runs_back_up() -> None:
    imports = _imports()
    upward = [
        (name, target)
        for name, targets in imports.items()
        for target in targets
        if name != "pxvorel" and (target == "pxvorel" or name.startswith(target + "."))
    ]
    assert upward == []
    finished: set[str] = set()

    def visit(name: str, path: list[str]) -> None:
        assert name not in path, f"import circle: {' -> '.join([*path[path.index(name) :], name])}"
        if name not in finished:
            for target in sorted(imports.get(name, ())):
                visit(target, [*path, name])
            finished.add(name)

    for name in sorted(imports):
        visit(name, [])


@pytest.mark.parametrize("name", ["pxvorel.io", "pxvorel.zarr_io", "pxvorel.cli", "pxvorel.napari"])
def test_published_modules_keep_their_names(name) -> None:
    if name == "pxvorel.zarr_io":  # a former name: it still works, with a warning
        pytest.importorskip("dask")
        sys.modules.pop(name, None)
        with pytest.warns(DeprecationWarning, match="pxvorel.io.zarr"):
            assert importlib.import_module(name).open_lazy
        return
    assert importlib.import_module(name).__doc__
