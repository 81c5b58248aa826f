# Every target runs inside the Python 3.14 environment of tools/py314
# (directly when already inside it).
ifeq ($(PXVOREL_IN_PY314),1)
RUN :=
else
RUN := tools/py314
endif

JOBS ?= 2
PYTEST_ARGS ?=
# Plain pytest (and make check) leaves out the tests marked slow; make test runs them all.
ALL_TESTS := -m ''
NAPARI_PYTEST_ARGS ?=
BENCH_ARGS ?=
DEFAULT_CALL_ARGS ?=
export CCACHE_BASEDIR := $(CURDIR)
# Builds with debug information (the sanitizer's) would otherwise hash their build folder,
# so that the sanitizer's test tree and module tree could not share the engine's objects.
export CCACHE_NOHASHDIR := 1

# A build tree remembers the absolute source path; tools/py314 may mount the
# checkout elsewhere, so a tree configured from another path is started anew.
fresh_tree = if [ -f $(1)/CMakeCache.txt ] && ! grep -qx 'CMAKE_HOME_DIRECTORY:INTERNAL=$(CURDIR)' $(1)/CMakeCache.txt; then rm -rf $(1); fi
launcher = $$(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# The C++ tests compile the neighborhood kernels this processor runs, besides the portable
# one (the others' tests would be skipped here); the sanitizer build only the widest of them,
# the one the engine uses, as each kernel file takes minutes to compile with the sanitizers
# (SANITIZE_KERNELS='avx2;avx512' for more). The wheels and make install build them all.
cpu_has = $(shell grep -qw '$(1)' /proc/cpuinfo 2>/dev/null && echo y)
empty :=
CPU_KERNELS := $(strip $(if $(and $(call cpu_has,avx2),$(call cpu_has,fma)),avx2) \
  $(if $(and $(call cpu_has,avx512f),$(call cpu_has,avx512vl),$(call cpu_has,avx512dq),$(call cpu_has,avx512bw)),avx512))
SANITIZE_KERNELS ?= $(lastword $(CPU_KERNELS))
cmake_list = $(subst $(empty) $(empty),;,$(strip $(1)))

.PHONY: all install wheel wheel-py314 wheel-host test-wheel check lint lint-cpp test test-types test-cpp test-sanitize \
  test-python test-napari fuzz demo bench docs clean

all: install

install:
	$(RUN) $(MAKE) --no-print-directory _install
_install:
	@$(call fresh_tree,build/wheel)
	python3 -m pip install --quiet --no-build-isolation --no-deps -C build-dir=build/wheel \
	  -C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$$(command -v ccache || true) .

# The wheels, into build/dist: the Python 3.14 one (from the same build tree as make install)
# and the host's (its python3 and glibc, tools/wheel_host.sh), each repaired by auditwheel
# into a manylinux wheel that carries the OpenMP runtime.
wheel: wheel-py314 wheel-host
wheel-py314:
	$(RUN) $(MAKE) --no-print-directory _wheel-py314
_wheel-py314:
	@$(call fresh_tree,build/wheel)
	rm -rf build/dist-raw-py314
	python3 -m pip wheel --quiet --no-build-isolation --no-deps -w build/dist-raw-py314 -C build-dir=build/wheel \
	  -C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$$(command -v ccache || true) .
	python3 -m auditwheel repair --wheel-dir build/dist build/dist-raw-py314/pxvorel-*.whl > build/dist-raw-py314/auditwheel.log 2>&1 \
	  || { cat build/dist-raw-py314/auditwheel.log; exit 1; }
	@ls build/dist/pxvorel-*-cp314-*.whl
wheel-host:
	tools/wheel_host.sh build/dist || [ $$? -eq 3 ]

# The Python tests against the host's wheel, installed into fresh virtual environments of
# the host's python3 with the core dependencies only, then with each extra
# (tests/wheel/run.sh). Skipped, saying why, when the host has no compiler or no index.
test-wheel:
	@tools/wheel_host.sh build/dist; status=$$?; \
	  if [ $$status -eq 3 ]; then exit 0; elif [ $$status -ne 0 ]; then exit $$status; fi; \
	  tests/wheel/run.sh "$$(cat build/host-wheel.path)" || [ $$? -eq 3 ]

# The host's wheel and its tests (make test-wheel) run beside the Python 3.14 environment's
# tests, their output kept in build/test-wheel.log and shown at the end.
test:
ifneq ($(PXVOREL_IN_PY314),1)
	tests/tools/test_py314.sh
endif
	@mkdir -p build; (start=$$(date +%s); $(MAKE) --no-print-directory test-wheel > build/test-wheel.log 2>&1; \
	  status=$$?; echo "make test-wheel took $$(( $$(date +%s) - start )) s" >> build/test-wheel.log; exit $$status) & wheel=$$!; \
	  echo "make test-wheel runs meanwhile (build/test-wheel.log)"; \
	  $(RUN) $(MAKE) --no-print-directory _test; status=$$?; \
	  wait $$wheel; wheel_status=$$?; echo "=== make test-wheel"; cat build/test-wheel.log; \
	  echo "make test: Python 3.14 environment exit status $$status, wheel tests $$wheel_status"; \
	  [ $$status -eq 0 ] && [ $$wheel_status -eq 0 ]
# Each part says how long it took, with the machine's load then.
TEST_PARTS := _lint _test-types _test-cpp _test-sanitize _test-python _docs
_test:
	@for part in $(TEST_PARTS); do start=$$(date +%s); $(MAKE) --no-print-directory $$part || exit; \
	  echo "make test: $${part#_} took $$(( $$(date +%s) - start )) s (load$$(uptime | sed 's/.*load//'))"; done

# The edit loop: an incremental install, lint, types and the fast tests (no sanitizer
# build, no napari, no tests marked slow); under two minutes once a build is in place.
check:
	$(RUN) $(MAKE) --no-print-directory _check
_check: _lint _test-types _install
	python3 -m pytest $(PYTEST_ARGS)

# ruff (rules and formatting, configured in pyproject.toml) and codespell over the Python
# code, and clang-format over the C++ (_lint-cpp).
LINT_PATHS := python tests benchmarks tools/*.py conftest.py
lint:
	$(RUN) $(MAKE) --no-print-directory _lint
_lint: _lint-cpp
	ruff check $(LINT_PATHS)
	ruff format --check $(LINT_PATHS)
	codespell $(LINT_PATHS)

test-cpp:
	$(RUN) $(MAKE) --no-print-directory _test-cpp
_test-cpp:
	@$(call fresh_tree,build/cpp)
	cmake -S . -B build/cpp -G Ninja -DPXVOREL_BUILD_MODULE=OFF -DPXVOREL_BUILD_TESTS=ON \
	  -DPXVOREL_KERNELS='$(call cmake_list,$(CPU_KERNELS))' $(launcher) >/dev/null
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)
	@build/cpp/tests/cpp/pxvorel_tests --gtest_filter=KernelPaths.PortableAlwaysAvailable | grep '^kernel instruction sets'

# The C++ tests under AddressSanitizer and UBSan, then the Python tests of the native code
# against a sanitizer build of both modules (also in the child processes they start): the
# interpreter is not instrumented, so the runtimes are preloaded and leaks are not checked.
# One tree builds the tests and the modules (kernels: SANITIZE_KERNELS above).
test-sanitize:
	$(RUN) $(MAKE) --no-print-directory _test-sanitize
_test-sanitize:
	@$(call fresh_tree,build/sanitize)
	cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPXVOREL_BUILD_TESTS=ON -DPXVOREL_SANITIZE=ON \
	  -DPXVOREL_KERNELS='$(call cmake_list,$(SANITIZE_KERNELS))' $(launcher) >/dev/null
	cmake --build build/sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)
	rm -rf build/sanitize-python && mkdir -p build/sanitize-python/pxvorel
	cp -r python/pxvorel/. build/sanitize-python/pxvorel/ && cp build/sanitize/_px*.so build/sanitize/_engine*.so build/sanitize-python/pxvorel/
	PYTHONPATH=$(CURDIR)/build/sanitize-python PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  python3 -m pytest -q -p no:cacheprovider $(ALL_TESTS) $(SANITIZE_TESTS)

SANITIZE_TESTS ?= tests/python/test_module.py tests/python/test_bridge.py tests/python/test_denoise_gaussian.py \
  tests/python/test_denoise_poisson_gaussian.py tests/python/test_calibration.py tests/python/test_progress.py \
  tests/python/test_noise_estimation.py tests/python/test_fuzz.py

# Every C++ source in the style of .clang-format: reports each place clang-format would
# change and fails if there is one (clang-format -i FILE reformats a file).
CPP_SOURCES = $(shell find core denoise noise bindings tests/cpp -name '*.cpp' -o -name '*.hpp' | sort)
lint-cpp:
	$(RUN) $(MAKE) --no-print-directory _lint-cpp
_lint-cpp:
	@clang-format --dry-run --Werror $(CPP_SOURCES) && echo "clang-format: all $(words $(CPP_SOURCES)) C++ sources in style"

# mypy in strict mode over the package's own code, the native modules through their stubs
# (configured in pyproject.toml).
test-types:
	$(RUN) $(MAKE) --no-print-directory _test-types
# A new checkout's cache (build/mypy-cache) starts from a copy of the first one made on this
# machine: mypy then reads the third-party packages' types from it instead of analysing
# NumPy and the rest anew (minutes on a busy machine); it checks the package's own modules,
# whose entries name another checkout's files, in full.
MYPY_SEED := $(HOME)/.cache/pxvorel/mypy-seed
_test-types:
	@[ -d build/mypy-cache ] || [ ! -d $(MYPY_SEED) ] || { mkdir -p build && cp -r $(MYPY_SEED) build/mypy-cache; }
	python3 -m mypy
	@[ -d $(MYPY_SEED) ] || { mkdir -p $(dir $(MYPY_SEED)) && cp -r build/mypy-cache $(MYPY_SEED).$$$$ && \
	  mv -T $(MYPY_SEED).$$$$ $(MYPY_SEED) 2>/dev/null || rm -rf $(MYPY_SEED).$$$$; }

test-python:
	$(RUN) $(MAKE) --no-print-directory _test-python
_test-python: _install
	python3 -m pytest $(ALL_TESTS) $(PYTEST_ARGS)
	@$(MAKE) --no-print-directory _test-napari-run

# The napari plugin tests need napari, pytest-qt and a display with OpenGL, which Qt's
# offscreen platform lacks: they run on a virtual X server with Qt's xcb platform, and
# are skipped (with a note) when napari or pytest-qt is not installed.
test-napari:
	$(RUN) $(MAKE) --no-print-directory _test-napari
_test-napari: _install _test-napari-run
_test-napari-run:
	@if python3 -c 'import napari, pytestqt' 2>/dev/null; then \
	  set -x; QT_QPA_PLATFORM=xcb xvfb-run -a -s '-screen 0 1600x1000x24' python3 -m pytest tests/napari python/pxvorel/napari $(NAPARI_PYTEST_ARGS); \
	else echo 'napari or pytest-qt is not installed: the napari plugin tests (tests/napari) are skipped'; fi

# At least 10,000 generated calls of the native functions and the public API.
fuzz:
	$(RUN) $(MAKE) --no-print-directory _fuzz
_fuzz: _install
	PXVOREL_FUZZ_CALLS=$${PXVOREL_FUZZ_CALLS:-10000} python3 -m pytest -q -s $(ALL_TESTS) tests/python/test_fuzz.py \
	  > build/fuzz.log; status=$$?; grep -v '^ - \|^shape:\|^array conversion' build/fuzz.log | tail -5; \
	  awk '/^[0-9]+ calls$$/ {n += $$1} END {print "fuzz: " n " generated calls"}' build/fuzz.log; exit $$status

# The documentation site (Sphinx, docs/) into build/docs, offline, warnings as errors: the
# API reference from the docstrings, the command line's from its parser, and the gallery run.
docs:
	$(RUN) $(MAKE) --no-print-directory _docs
_docs: _install
	python3 -m sphinx -E -W --keep-going -q -b html docs build/docs

demo:
	$(RUN) $(MAKE) --no-print-directory _demo
_demo: _install
	pxvorel demo --out demo-output

# BM3D and BM4D, the benchmark's quality peers, from the package index into build/peers
# (benchmark-only; pure Python with their own libraries). Installed from the host side,
# whose pip reaches the index; where it cannot, benchmarks/quality/vs_bm3d.py shows their
# recorded figures. The benchmarks run as modules from the checkout's root (benchmarks/README.md).
# The default call on the real files comes first (DEFAULT_CALL_ARGS: e.g. --quick, --repeat 3).
# Then the real noisy / clean pairs (the default call, the best Gaussian blur and OpenCV's best
# non-local means; its failed targets do not stop the bench). The texture figure comes last
# (what the default output leaves on flat fields and real backgrounds, against a Gaussian blur
# of the same noise reduction; montages in build/texture).
bench:
	@[ -d build/peers/bm4d ] || python3 -m pip install --quiet --target build/peers --no-deps bm3d bm4d \
	  || echo "BM3D/BM4D could not be installed: their recorded figures are shown"
	$(RUN) $(MAKE) --no-print-directory _bench
_bench: _install
	python3 -m benchmarks.speed.default_call $(DEFAULT_CALL_ARGS)
	python3 -m benchmarks.speed.vs_peers $(BENCH_ARGS)
	python3 -m benchmarks.quality.tuning --quick
	python3 -m benchmarks.quality.vs_bm3d $(BENCH_ARGS)
	-python3 -m benchmarks.validation.real_pairs
	python3 -m benchmarks.quality.texture_figure

clean:
	rm -rf build demo-output
