"""A pytest plugin for the test runs against an installed wheel (tests/wheel/run.sh).

A test module whose imports at module level (its own, or those of the tests' shared
modules it imports) name a package that is not installed is skipped whole, with the
package named in the summary: the core-only environment lacks the extras' packages.
``--needing=a,b`` keeps only the modules that import one of those packages anywhere (or ask
for one with ``pytest.importorskip``), so that an extra's environment runs the tests of
that extra.
"""

from __future__ import annotations

import ast
import importlib.util
from functools import cache
from pathlib import Path

import pytest


@cache
def imports(path: Path, top_level_only: bool) -> frozenset[str]:
    """The top-level package names that a module imports, with those of the sibling modules it
    imports (the tests' shared modules), followed transitively."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    nodes = tree.body if top_level_only else list(ast.walk(tree))
    names: set[str] = set()
    for node in nodes:
        if isinstance(node, ast.Import):
            names.update(alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            names.add(node.module.partition(".")[0])
        elif (
            not top_level_only
            and isinstance(node, ast.Call)
            and getattr(node.func, "attr", None) == "importorskip"
            and node.args
            and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[0].value, str)
        ):
            names.add(node.args[0].value.partition(".")[0])
    found = set(names)
    for name in names:
        sibling = path.with_name(f"{name}.py")
        if sibling.is_file() and sibling != path:
            found |= imports(sibling, top_level_only)
    return frozenset(found)


def missing(path: Path) -> list[str]:
    return sorted(name for name in imports(path, True) if importlib.util.find_spec(name) is None)


class Unavailable(pytest.Module):
    """A test module that needs a package that is not installed: collected as one skip."""

    def collect(self) -> list[pytest.Item]:
        names = ", ".join(missing(self.path))
        pytest.skip(f"needs {names}, not installed here")


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--needing", default="", help="run only the modules that import one of these packages")


def pytest_pycollect_makemodule(module_path: Path, parent: pytest.Collector) -> pytest.Module | None:
    if missing(module_path):
        return Unavailable.from_parent(parent, path=module_path)
    return None


def pytest_ignore_collect(collection_path: Path, config: pytest.Config) -> bool | None:
    wanted = {name for name in config.getoption("needing").split(",") if name}
    if not wanted or collection_path.suffix != ".py" or not collection_path.name.startswith("test_"):
        return None
    return True if wanted.isdisjoint(imports(collection_path, False)) else None
