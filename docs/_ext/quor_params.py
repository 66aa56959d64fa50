"""The ``quor-params`` directive: the README's hyperparameter tables, in the docs.

Both tables are made by :mod:`quor._params` from its one list of parameters
(``markdown_table`` for the single trees, ``forest_markdown_table`` for what
the forests add or change); this directive turns the same rows into a table,
so the site, the README and the docstrings cannot drift apart.

    .. quor-params::            (the single trees' table)
    .. quor-params:: forest     (the forests')
"""

import re

from docutils import nodes
from docutils.parsers.rst import Directive

from quor import _params

_CODE = re.compile(r"`([^`]+)`")


def markdown_rows(table):
    """The cells of a Markdown table, header row first, the rule row left out."""
    rows = []
    for line in table.strip().splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if all(set(cell) <= set("-: ") for cell in cells):
            continue
        rows.append(cells)
    return rows


def cell_nodes(text):
    """A paragraph of ``text`` with its `code` spans as literals."""
    paragraph = nodes.paragraph()
    end = 0
    for match in _CODE.finditer(text):
        if match.start() > end:
            paragraph += nodes.Text(text[end:match.start()])
        paragraph += nodes.literal(match.group(1), match.group(1))
        end = match.end()
    if end < len(text):
        paragraph += nodes.Text(text[end:])
    return paragraph


def table_node(rows, widths=(22, 18, 60)):
    table = nodes.table(classes=["quor-params"])
    group = nodes.tgroup(cols=len(widths))
    table += group
    for width in widths:
        group += nodes.colspec(colwidth=width)
    for section, body_rows in ((nodes.thead(), rows[:1]), (nodes.tbody(), rows[1:])):
        for cells in body_rows:
            row = nodes.row()
            for cell in cells:
                entry = nodes.entry()
                entry += cell_nodes(cell)
                row += entry
            section += row
        group += section
    return table


class QuorParams(Directive):
    optional_arguments = 1
    has_content = False

    def run(self):
        which = self.arguments[0] if self.arguments else "tree"
        if which not in ("tree", "forest"):
            raise self.error(f"quor-params takes 'tree' or 'forest', not {which!r}")
        table = _params.forest_markdown_table() if which == "forest" else _params.markdown_table()
        return [table_node(markdown_rows(table))]


def setup(app):
    app.add_directive("quor-params", QuorParams)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
