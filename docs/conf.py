"""Sphinx configuration of pxvorel's documentation (``make docs``: HTML into build/docs).

The build needs no network: the API reference comes from the installed package's numpydoc
docstrings, the command line reference from its argument parser (``_ext/cli_reference.py``),
and the gallery (``examples/``) runs on the real images of the shared data folder beside
the checkout when it is there, and on the synthetic demo scene when it is not.
"""

from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

import pxvorel

matplotlib.use("Agg")
sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "pxvorel"
author = "the pxvorel developers"
copyright = "the pxvorel developers"
release = version = pxvorel.__version__

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "cli_reference",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "examples/README.rst", "decisions/README.md"]
html_theme = "furo"
html_title = f"pxvorel {release}"

autodoc_typehints = "none"  # the numpydoc sections name the types
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

# The README and the decision records link to files of the repository (sources, benchmarks),
# which are not pages of this site.
suppress_warnings = ["myst.xref_missing", "myst.header"]
myst_heading_anchors = 3

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "generated/gallery",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "abort_on_example_error": True,
    "write_computation_times": False,
}
