"""A pytest plugin for the test runs against an installed wheel (tests/wheel/run.sh).

A test module whose imports at module level (its own, or those of the tests' shared
modules it imports) name a package that is not installed is skipped whole, with the
package named in the summary: the core-only environment lacks the extras' packages.
``--needing=a,b`` keeps only the modules that import one of those packages anywhere (or ask
for it with ``pytest.importorskip``), so that an extra's environment runs the tests of that
extra.
"""

from __future__ import annotations

import ast
import importlib.util
from functools import cache
from pathlib import Path

import pytest


@cache
def own_names(path: Path, top_level_only: bool) -> tuple[frozenset[str], frozenset[str]]:
    """The top-level package names that a module imports, and (anywhere in it, unless
    top_level_only) those it asks for with ``pytest.importorskip``."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    nodes = tree.body if top_level_only else list(ast.walk(tree))
    imported: set[str] = set()
    named: set[str] = set()
    for node in nodes:
        if isinstance(node, ast.Import):
            imported.update(alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            imported.add(node.module.partition(".")[0])
        elif (
            not top_level_only
            and isinstance(node, ast.Call)
            and getattr(node.func, "attr", None) == "importorskip"
            and node.args
            and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[0].value, str)
        ):
            named.add(node.args[0].value.partition(".")[0])
    return frozenset(imported), frozenset(named)


def imports(path: Path, top_level_only: bool) -> frozenset[str]:
    """The names of own_names, with the imports of the sibling modules it imports (the tests'
    shared modules), followed transitively."""
    found: set[str] = set()
    todo, seen = [path], {path}
    while todo:
        imported, named = own_names(todo.pop(), top_level_only)
        found |= imported | named
        for name in imported:
            sibling = path.with_name(f"{name}.py")
            if sibling.is_file() and sibling not in seen:
                seen.add(sibling)
                todo.append(sibling)
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
