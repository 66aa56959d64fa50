# quor: build, test and run. Everything uses Debian's /usr/bin/python3.
PYTHON ?= /usr/bin/python3
BUILD ?= build/cmake
JOBS ?= 2
PYTEST_ARGS ?= -q
# The Python suites run on JOBS processes when pytest-xdist is there (the
# setup installs it), in one otherwise.
PYTEST_PARALLEL ?= $(shell $(PYTHON) -c "import xdist" 2>/dev/null && echo "-n $(JOBS)")
# CI builds (CI set in the environment) treat compiler warnings as errors.
WERROR ?= $(if $(CI),ON,OFF)
CMAKE_CONFIGURE = -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON) -DQUOR_WERROR=$(WERROR)

.PHONY: all setup build build-extension test test-cpp test-python run clean docs \
        build-asan test-asan test-tsan test-portable fuzz fuzz-python fuzz-cpp valgrind

all: build

setup:
	bash scripts/setup.sh

build:
	cmake -S . -B $(BUILD) $(CMAKE_CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

# Only the extension (python/quor/_quor.abi3.so), not the C++ test suite.
build-extension:
	cmake -S . -B $(BUILD) $(CMAKE_CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target quor_ext

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# With the examples in the package's docstrings, run as doctests.
DOCTESTS = --doctest-modules python/quor

test-python: build
	PYTHONPATH=python $(PYTHON) -m pytest $(PYTEST_ARGS) $(PYTEST_PARALLEL) tests/python $(DOCTESTS)

test: test-cpp test-python

# The main job: fit, score and print a tree from the shell.
run: build-extension
	PYTHONPATH=python $(PYTHON) -m quor

# The documentation site, docs/_build/html (Debian's Sphinx, numpydoc and
# sphinx-gallery: scripts/setup.sh). Every warning is an error, and the
# gallery's examples (docs/examples) run during the build: one that fails
# fails it. Built anew each time (about half a minute), so that every page
# shows the package as it is and every warning is reported again.
DOCS_GENERATED = docs/_build docs/api/generated docs/auto_examples
docs: build-extension
	rm -rf $(DOCS_GENERATED)
	PYTHONPATH=python $(PYTHON) -m sphinx -W --keep-going -b html docs docs/_build/html

# Benchmarks against scikit-learn and XGBoost (see bench/README.md). Each target
# installs what the benchmarks need, builds, and runs its script; pass options
# with BENCH_ARGS, e.g. make bench BUILD=build/bench BENCH_ARGS="--markdown".
.PHONY: setup-bench bench quality plot forest-bench weights-bench
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

forest-bench: setup-bench
	$(MAKE) build
	PYTHONPATH=python $(PYTHON) bench/forest.py $(BENCH_ARGS)

weights-bench: setup-bench
	$(MAKE) build
	PYTHONPATH=python $(PYTHON) bench/weights.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(VALGRIND_BUILD) $(LIBFUZZER_BUILD)
	rm -f python/quor/_quor*.so
	rm -rf $(DOCS_GENERATED)

# ---- robustness: sanitizers, fuzzing, leak checks ----
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
VALGRIND_BUILD ?= build/valgrind
# The package as the instrumented Python run imports it: links to the sources of
# python/quor with the instrumented extension beside them (the normal
# python/quor/_quor.abi3.so is never replaced by an instrumented one).
ASAN_PACKAGE = $(ASAN_BUILD)/python/quor
# The interpreter is not instrumented, so the ASan runtime is preloaded into it,
# with libstdc++, which the runtime must see at start-up to intercept C++ throws.
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
ASAN_CHECKS = abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1
# For Python: the interpreter's own leaks at exit are not ours (those of the
# extension are looked for by tests/python/test_leaks.py); malloc may fail, as
# NumPy expects, but a failing operator new always ends the process under ASan,
# so QUOR_SANITIZED=1 skips the few tests that need the core's std::bad_alloc.
# Python's allocator is bypassed so that use of freed Python objects is caught.
ASAN_PYTHON = ASAN_OPTIONS=$(ASAN_CHECKS):detect_leaks=0:allocator_may_return_null=1 \
  LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc QUOR_SANITIZED=1
UBSAN_CHECKS = UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Parallel map, parallel growth and batch routing, the only code that runs on several threads.
# Not the stack-size test: glibc carves static TLS out of a thread's stack and
# TSan's runtime has 768 KiB of it, so 1.5 MiB of locals no longer fit in 2 MiB.
TSAN_FILTER = *ParallelMap*:*TaskPool*:*EncodeMatrix*:*ParallelGrowth*:*ThreadedGrowth*:*ThreadsSharing*:*BatchRouting*:*ShortRowsFail*:*ForestThreads*:*ForestInterrupt*-*WorkersGetAtLeastTwoMebibytesOfStack

build-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR_SANITIZE=address \
	  -DQUOR_EXTENSION_DIR=$(CURDIR)/$(ASAN_PACKAGE) -DPython3_EXECUTABLE=$(PYTHON) -DQUOR_WERROR=$(WERROR)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	rm -f $(ASAN_PACKAGE)/*.py && ln -s $(CURDIR)/python/quor/*.py $(ASAN_PACKAGE)/

# The whole C++ and Python suites under AddressSanitizer and UBSan. Needs
# `build` too: a few Python tests start fresh interpreters on python/quor.
# The C++ tests run as JOBS shards side by side (each shard's own leak check).
test-asan: build build-asan
	ASAN_OPTIONS=$(ASAN_CHECKS):detect_leaks=1 $(UBSAN_CHECKS) \
	  bash scripts/shards.sh $(JOBS) $(ASAN_BUILD)/quor_tests --gtest_brief=1
	$(ASAN_PYTHON) $(UBSAN_CHECKS) PYTHONPATH=$(ASAN_BUILD)/python \
	  $(PYTHON) -m pytest $(PYTEST_ARGS) $(PYTEST_PARALLEL) tests/python

# Trees must not depend on the CPU they are grown on. The golden fits run
# against a build without vector clones, with the C library and NumPy told to
# use only their baseline instruction sets (no FMA, AVX2 or AVX-512 versions
# of their functions), and must give the same stored dumps bit for bit.
# The portable extension is the build's own objects but for the one source
# with vector clones, compiled again without them (target quor_ext_portable).
PORTABLE_PACKAGE = $(BUILD)/portable/python/quor
BASELINE_CPU = GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA,-FMA4,-AVX512F \
  NPY_DISABLE_CPU_FEATURES="SSSE3 SSE41 POPCNT SSE42 AVX F16C FMA3 AVX2 AVX512F AVX512CD AVX512_SKX AVX512_CLX AVX512_CNL AVX512_ICL"
test-portable:
	cmake -S . -B $(BUILD) $(CMAKE_CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target quor_ext_portable
	rm -f $(PORTABLE_PACKAGE)/*.py && ln -s $(CURDIR)/python/quor/*.py $(PORTABLE_PACKAGE)/
	$(BASELINE_CPU) PYTHONPATH=$(PORTABLE_PACKAGE)/.. $(PYTHON) -m pytest $(PYTEST_ARGS) tests/python/test_golden.py

# The C++ tests that run code on several threads, under ThreadSanitizer.
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR_SANITIZE=thread \
	  -DQUOR_BUILD_EXTENSION=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target quor_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(TSAN_BUILD)/quor_tests --gtest_brief=1 --gtest_filter='$(TSAN_FILTER)'

# Long fuzzing: the Python fuzz tests with QUOR_FUZZ_SCALE times the budget of
# the normal suite, then libFuzzer for FUZZ_SECONDS each on the rebuild of tree
# dumps and of forest dumps and the walks over what they accept (clang:
# `bash scripts/setup.sh robustness`).
QUOR_FUZZ_SCALE ?= 50
FUZZ_SECONDS ?= 120
LIBFUZZER_BUILD ?= build/libfuzzer
fuzz: fuzz-python fuzz-cpp

fuzz-python: build
	QUOR_FUZZ_SCALE=$(QUOR_FUZZ_SCALE) PYTHONPATH=python $(PYTHON) -m pytest $(PYTEST_ARGS) \
	  tests/python/test_fuzz_dump.py tests/python/test_fuzz_fit.py

# The core's shared flags (compile_flags.txt), then the fuzzing build's own.
CORE_FLAGS = $(shell grep '^-' compile_flags.txt)
$(LIBFUZZER_BUILD)/tree_dump_fuzzer: $(wildcard src/*.cpp src/*.hpp) tests/fuzz/tree_dump_fuzzer.cpp \
  tests/cpp/row_walk.hpp compile_flags.txt
	mkdir -p $(LIBFUZZER_BUILD)/corpus
	clang++ $(CORE_FLAGS) -O1 -g -fsanitize=fuzzer,address,undefined,float-cast-overflow \
	  -fno-sanitize-recover=all -Isrc src/*.cpp tests/fuzz/tree_dump_fuzzer.cpp -lpthread -o $@

# The forest loader's fuzzer starts from real forests: forest_corpus.py fits
# small ones with the built package and writes them as seeds, each run anew
# (libFuzzer keeps what it adds to the directory).
$(LIBFUZZER_BUILD)/forest_dump_fuzzer: $(wildcard src/*.cpp src/*.hpp) tests/fuzz/forest_dump_fuzzer.cpp \
  tests/cpp/row_walk.hpp compile_flags.txt
	mkdir -p $(LIBFUZZER_BUILD)
	clang++ $(CORE_FLAGS) -O1 -g -fsanitize=fuzzer,address,undefined,float-cast-overflow \
	  -fno-sanitize-recover=all -Isrc src/*.cpp tests/fuzz/forest_dump_fuzzer.cpp -lpthread -o $@

fuzz-cpp: $(LIBFUZZER_BUILD)/tree_dump_fuzzer $(LIBFUZZER_BUILD)/forest_dump_fuzzer build-extension
	$(LIBFUZZER_BUILD)/tree_dump_fuzzer -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(LIBFUZZER_BUILD)/corpus
	PYTHONPATH=python $(PYTHON) tests/fuzz/forest_corpus.py $(LIBFUZZER_BUILD)/forest_corpus
	$(LIBFUZZER_BUILD)/forest_dump_fuzzer -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  $(LIBFUZZER_BUILD)/forest_corpus

# The core compiles for aarch64 with the shared flags (vector clones are for
# x86-64 only): Debian's cross compiler, `bash scripts/setup.sh cross`.
.PHONY: check-aarch64
check-aarch64:
	for f in src/*.cpp; do aarch64-linux-gnu-g++ $(CORE_FLAGS) -Werror -Isrc -fsyntax-only $$f || exit 1; done

# The C++ suite under memcheck: no invalid access, no use of undefined values, no leak.
valgrind:
	cmake -S . -B $(VALGRIND_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR_BUILD_EXTENSION=OFF
	cmake --build $(VALGRIND_BUILD) -j $(JOBS) --target quor_tests
	valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --show-leak-kinds=all \
	  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes \
	  --suppressions=tests/valgrind.supp $(VALGRIND_BUILD)/quor_tests --gtest_brief=1
