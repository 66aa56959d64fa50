# quor: build, test and run. Everything uses Debian's /usr/bin/python3.
PYTHON ?= /usr/bin/python3
BUILD ?= build/cmake
JOBS ?= 2
PYTEST_ARGS ?= -q

.PHONY: all setup build test test-cpp test-python run clean

all: build

setup:
	bash scripts/setup.sh

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=python $(PYTHON) -m pytest $(PYTEST_ARGS) tests/python

test: test-cpp test-python

# The main job: fit, score and print a tree from the shell.
run: build
	PYTHONPATH=python $(PYTHON) -m quor

# Benchmarks against scikit-learn and XGBoost (see bench/README.md). Each target
# installs what the benchmarks need, builds, and runs its script; pass options
# with BENCH_ARGS, e.g. make bench BUILD=build/bench BENCH_ARGS="--markdown".
.PHONY: setup-bench bench quality plot
setup-bench:
	bash scripts/setup.sh bench

bench: setup-bench
	$(MAKE) build
	PYTHONPATH=python $(PYTHON) bench/bench.py $(BENCH_ARGS)

quality: setup-bench
	$(MAKE) build
	PYTHONPATH=python $(PYTHON) bench/quality.py $(BENCH_ARGS)

plot: setup-bench
	$(MAKE) build
	PYTHONPATH=python $(PYTHON) bench/plot.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) python/quor/_quor*.so
