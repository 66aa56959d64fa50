"""Builds the extension quor._quor against the version-stable C API (one
binary, `_quor.abi3.so`, for every Python 3.8+). Needs only a C++20 compiler,
the Python headers and NumPy: nothing is downloaded. The compiler flags are
those of every other build of the core, read from compile_flags.txt."""

from glob import glob
from pathlib import Path

import numpy
from setuptools import Extension, setup

sources = sorted(glob("src/*.cpp")) + sorted(glob("src/python/*.cpp"))
flags = [line.strip() for line in Path(__file__).with_name("compile_flags.txt").read_text().splitlines()
         if line.startswith("-")]

extension = Extension(
    "quor._quor",
    sources=sources,
    include_dirs=["src", numpy.get_include()],
    extra_compile_args=flags,
    language="c++",
    py_limited_api=True,
)

setup(ext_modules=[extension], options={"bdist_wheel": {"py_limited_api": "cp38"}})
