"""The package version, read by ``quor.__version__`` and by the build (pyproject.toml)."""

__version__ = "0.2.0"
