"""Fixtures of the napari plugin tests.

pytest loads no plugin by auto-discovery in this project (see pyproject.toml); the Qt
and napari fixtures (``qtbot``, ``make_napari_viewer``) are loaded here, for these
tests only, and only when napari and pytest-qt are installed. The tests need a display
with OpenGL: ``make test`` runs them under ``xvfb-run`` with Qt's xcb platform.

napari and npe2 define their models with pydantic features that pydantic 2 deprecates,
and say so when the models are first imported. Warnings stay errors otherwise; this one
category is ignored, for the napari tests only.
"""

import warnings
from importlib.util import find_spec

NAPARI_WARNING = "pydantic.warnings.PydanticDeprecatedSince20"

NAPARI = bool(find_spec("napari") and find_spec("pytestqt"))

if NAPARI:
    from pydantic.warnings import PydanticDeprecatedSince20

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PydanticDeprecatedSince20)
        import napari.utils  # noqa: F401  (imported by napari's pytest plugin below)
    pytest_plugins = ["pytestqt.plugin", "napari.utils._testsupport"]


def pytest_configure(config):
    if NAPARI:
        config.addinivalue_line("filterwarnings", f"ignore::{NAPARI_WARNING}")
