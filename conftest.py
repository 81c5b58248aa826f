"""The package's docstring examples, collected by pytest (``--doctest-modules`` over python/pxvorel).

The examples run against the installed package, as the tests do: each module is imported
under its own name before pytest collects its file, so that pytest finds it in sys.modules
instead of loading the source file a second time (the compiled modules are only installed).

Modules that need an optional package that is not installed (dask, for one) are left out,
and named in the summary. The napari plugin's modules need Qt, a display and the napari
tests' warning filter: they are collected only when named, as ``make test-napari`` does.
Deprecated modules, which warn on import, are left out.
"""

from __future__ import annotations

import importlib
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent / "python" / "pxvorel"
NAMED_ONLY = PACKAGE / "napari"
#: Former names kept for callers, which warn on import and hold no examples of their own.
DEPRECATED = {PACKAGE / "zarr_io.py"}

left_out = pytest.StashKey[dict[str, str]]()


def module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def pytest_configure(config: pytest.Config) -> None:
    config.stash[left_out] = {}


def pytest_ignore_collect(collection_path: Path, config: pytest.Config) -> bool | None:
    if collection_path == NAMED_ONLY or collection_path in DEPRECATED:
        return True
    if collection_path.suffix != ".py" or PACKAGE not in collection_path.parents:
        return None
    if collection_path.name == "__main__.py":  # pytest leaves it out; importing it would run the command line
        return None
    name = module_name(collection_path)
    try:
        importlib.import_module(name)
    except ModuleNotFoundError as error:
        missing = (error.name or "").split(".")[0]
        if not missing or missing == "pxvorel":
            raise
        config.stash[left_out][name] = missing
        return True
    return None


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter, config: pytest.Config) -> None:
    if config.stash[left_out]:
        terminalreporter.write_sep("-", "docstring examples not collected")
        for name, missing in sorted(config.stash[left_out].items()):
            terminalreporter.write_line(f"{name}: {missing} is not installed")
