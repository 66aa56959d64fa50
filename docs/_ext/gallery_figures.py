"""How the gallery saves the examples' matplotlib figures.

Figures are cut to what is drawn (``bbox_inches="tight"``): a tree drawn on a
wide figure otherwise keeps its blank margins and is shrunk, text and all,
to the page's width.
"""

from sphinx_gallery.scrapers import matplotlib_scraper


def tight_matplotlib_scraper(block, block_vars, gallery_conf):
    return matplotlib_scraper(block, block_vars, gallery_conf, bbox_inches="tight")
