"""Sphinx configuration of quor's documentation site (``make docs``).

The package is imported from ``python/`` of this checkout, with its native
extension built beside it (``make build-extension``).
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
sys.path.insert(0, os.path.join(HERE, "_ext"))

import quor  # noqa: E402  (after the path is set)
from gallery_figures import tight_matplotlib_scraper  # noqa: E402

project = "quor"
author = "the quor developers"
copyright = "the quor developers"
release = quor.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "quor_params",
]

templates_path = ["_templates"]
exclude_patterns = ["_build", "Thumbs.db", ".DS_Store"]
# `name` in prose and docstrings is code, as it is in the README.
default_role = "literal"
# Quotes stay as typed: "gini" in a parameter's type is a string to pass.
smartquotes = False
# No network: nothing is fetched at build time (no intersphinx inventories).

# -- API reference -------------------------------------------------------------
autosummary_generate = True
autodoc_member_order = "groupwise"
# numpydoc renders the Parameters / Attributes / Returns sections; the member
# lists of a class come from the autosummary templates (_templates/).
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_attributes_as_param_list = True
numpydoc_xref_param_type = False
# Every public function and method says what each parameter is and what it
# returns; a gap is a warning, so `make docs` (-W) fails on it.
# (What each check means: numpydoc's validation docs; GL08 no docstring, PR
# parameters, RT the Returns section.)  The native classes' docstrings are
# the extension's own and are not held to this.
numpydoc_validation_checks = {"GL08", "PR01", "PR02", "PR03", "PR04", "PR07", "PR10", "RT01", "RT03"}
numpydoc_validation_exclude = {r"^quor\._quor\."}

# -- gallery ----------------------------------------------------------------------
# Every script in examples/ runs during the build: one that fails, fails it.
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"\.py$",
    "download_all_examples": False,
    "remove_config_comments": True,
    "image_scrapers": (tight_matplotlib_scraper,),
    # Figures also at twice the resolution, for high-density screens.
    "image_srcset": ["2x"],
    # An example that draws nothing shows the README's tree as its thumbnail.
    "default_thumb_file": os.path.join(HERE, "demo_tree.png"),
}

# -- HTML ---------------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = f"quor {release}"
html_static_path = ["_static"]
html_css_files = ["quor.css"]
html_js_files = ["quor.js"]
html_show_sourcelink = False
