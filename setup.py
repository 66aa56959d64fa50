"""Builds the extension quor._quor against the version-stable C API (one
binary, `_quor.abi3.so`, for every Python 3.8+). Needs only a C++20 compiler,
the Python headers and NumPy: nothing is downloaded."""

from glob import glob

import numpy
from setuptools import Extension, setup

sources = sorted(glob("src/*.cpp")) + sorted(glob("src/python/*.cpp"))

extension = Extension(
    "quor._quor",
    sources=sources,
    include_dirs=["src", numpy.get_include()],
    define_macros=[
        ("Py_LIMITED_API", "0x03080000"),
        ("NPY_NO_DEPRECATED_API", "NPY_1_7_API_VERSION"),
    ],
    extra_compile_args=["-std=c++20", "-O2", "-ffp-contract=off", "-fno-math-errno",
                        "-fvisibility=hidden"],
    language="c++",
    py_limited_api=True,
)

setup(ext_modules=[extension], options={"bdist_wheel": {"py_limited_api": "cp38"}})
