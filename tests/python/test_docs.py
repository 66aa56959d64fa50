"""The documentation site's own pieces: every public name has an API page, the
parameter tables are the package's, and the gallery runs every example."""

import importlib.util
import re
import sys
from pathlib import Path

import pytest

import quor
import quor.dask
from quor import _params

DOCS = Path(__file__).resolve().parents[2] / "docs"

pytest.importorskip("docutils")


def _load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def documented_names():
    """The names the API pages document, by how they document them."""
    names = set()
    for page in [*(DOCS / "api").glob("*.rst"), DOCS / "raw.rst"]:
        module = "quor"
        in_autosummary = False
        for line in page.read_text().splitlines():
            if m := re.match(r"\.\. currentmodule:: (\S+)", line):
                module = m.group(1)
            if m := re.match(r"\.\. (?:py:exception|autoclass|autofunction)::\s+(\S+)", line):
                names.add(m.group(1) if "." in m.group(1) else f"{module}.{m.group(1)}")
            if line.startswith(".. autosummary::"):
                in_autosummary = True
            elif in_autosummary and line and not line.startswith(" "):
                in_autosummary = False
            elif in_autosummary and (m := re.match(r"   ([A-Za-z_]\w*)$", line)):
                names.add(f"{module}.{m.group(1)}")
    return names


def test_every_public_name_has_api_documentation():
    names = documented_names()
    missing = [f"quor.{n}" for n in quor.__all__
               if f"quor.{n}" not in names and f"quor._quor.{n}" not in names]
    missing += [f"quor.dask.{n}" for n in quor.dask.__all__ if f"quor.dask.{n}" not in names]
    assert not missing, f"public names without an API page: {missing}"


def test_parameter_tables_are_the_readmes():
    ext = _load("quor_params", DOCS / "_ext" / "quor_params.py")
    for table, params in ((_params.markdown_table(), _params.PARAMS),
                          (_params.forest_markdown_table(), _params.FOREST_PARAMS)):
        rows = ext.markdown_rows(table)
        assert rows[0] == ["parameter", "default", "meaning"]
        assert all(len(row) == 3 for row in rows)
        node = ext.table_node(rows)
        body = node[0][-1]  # table > tgroup > (colspecs, thead, tbody)
        assert body.tagname == "tbody"
        first_cells = [row[0][0].astext() for row in body.children]
        # The first cell of each row is the parameter's name as code, with the
        # estimator it belongs to after it where only one takes it.
        names = [cell.split(" ")[0] for cell in first_cells]
        assert names[:len(dict.fromkeys(p.name for p in params))] == list(
            dict.fromkeys(p.name for p in params))
        literal = body.children[0][0][0].children[0]
        assert literal.tagname == "literal" and literal.astext() == names[0]
    assert ext.cell_nodes("`a` or `b`, `c`").astext() == "a or b, c"
    assert [n.tagname for n in ext.cell_nodes("x `a` y").children] == ["#text", "literal", "#text"]


def test_gallery_runs_every_example(monkeypatch):
    pytest.importorskip("sphinx_gallery")
    monkeypatch.setattr(sys, "path", list(sys.path))  # conf.py adds to it
    conf = _load("quor_docs_conf", DOCS / "conf.py")
    gallery = conf.sphinx_gallery_conf
    assert (gallery["examples_dirs"], gallery["gallery_dirs"]) == ("examples", "auto_examples")
    examples = sorted((DOCS / "examples").glob("*.py"))
    assert examples
    for path in examples:
        assert re.search(gallery["filename_pattern"], str(path)), path
    assert not gallery.get("only_warn_on_example_error")
