# Every target runs inside the Python 3.14 environment of tools/py314
# (directly when already inside it).
ifeq ($(PXVOREL_IN_PY314),1)
RUN :=
else
RUN := tools/py314
endif

JOBS ?= 2
PYTEST_ARGS ?=
BENCH_ARGS ?=
export CCACHE_BASEDIR := $(CURDIR)

# A build tree remembers the absolute source path; tools/py314 may mount the
# checkout elsewhere, so a tree configured from another path is started anew.
fresh_tree = if [ -f $(1)/CMakeCache.txt ] && ! grep -qx 'CMAKE_HOME_DIRECTORY:INTERNAL=$(CURDIR)' $(1)/CMakeCache.txt; then rm -rf $(1); fi
launcher = $$(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all install test test-cpp test-sanitize test-python demo bench clean

all: install

install:
	$(RUN) $(MAKE) --no-print-directory _install
_install:
	@$(call fresh_tree,build/wheel)
	python3 -m pip install --quiet --no-build-isolation --no-deps -C build-dir=build/wheel \
	  -C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$$(command -v ccache || true) .

test:
ifneq ($(PXVOREL_IN_PY314),1)
	tests/tools/test_py314.sh
endif
	$(RUN) $(MAKE) --no-print-directory _test
_test: _test-cpp _test-sanitize _test-python

test-cpp:
	$(RUN) $(MAKE) --no-print-directory _test-cpp
_test-cpp:
	@$(call fresh_tree,build/cpp)
	cmake -S . -B build/cpp -G Ninja -DPXVOREL_BUILD_MODULE=OFF -DPXVOREL_BUILD_TESTS=ON $(launcher) >/dev/null
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

test-sanitize:
	$(RUN) $(MAKE) --no-print-directory _test-sanitize
_test-sanitize:
	@$(call fresh_tree,build/sanitize)
	cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPXVOREL_BUILD_MODULE=OFF \
	  -DPXVOREL_BUILD_TESTS=ON -DPXVOREL_SANITIZE=ON $(launcher) >/dev/null
	cmake --build build/sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

test-python:
	$(RUN) $(MAKE) --no-print-directory _test-python
_test-python: _install
	python3 -m pytest $(PYTEST_ARGS)

demo:
	$(RUN) $(MAKE) --no-print-directory _demo
_demo: _install
	pxvorel demo --out demo-output

bench:
	$(RUN) $(MAKE) --no-print-directory _bench
_bench: _install
	python3 benchmarks/vs_peers.py $(BENCH_ARGS)

clean:
	rm -rf build demo-output
