# make demo   install what is missing, build and install dovel, run the demos (module and command)
# make test   install what is missing, build, run the C++ tests (also under
#             ASan/UBSan) and the Python tests; FUZZ_SECONDS=N adds a fuzz run
PYTHON ?= python3
BUILD ?= build
# The build folder pip reuses for `make install` (a second install only relinks what changed).
WHEEL_BUILD ?= build-wheel
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all deps build test test-core test-asan test-python demo install fuzz bench clean

all: build

deps:
	PYTHON=$(PYTHON) tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTORVA_WERROR=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD) -j $(JOBS)

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DTORVA_WERROR=ON -DTORVA_SANITIZE=ON \
	    -DTORVA_BUILD_PYTHON=OFF -DTORVA_BUILD_BENCHMARKS=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(CURDIR)/$(BUILD)/torva-py:$(CURDIR) $(PYTHON) -m pytest -q tests

# FUZZ_SECONDS=N adds a short libFuzzer run of the file readers (needs clang).
test: test-core test-asan test-python $(if $(FUZZ_SECONDS),fuzz)

install:
	PYTHON=$(PYTHON) tools/install-deps.sh --demo
	@echo "building and installing dovel into $$($(PYTHON) -c 'import sys; print(sys.prefix)')" \
	    "(the first build takes minutes, later ones reuse $(WHEEL_BUILD)/)"
	$(PYTHON) -m pip install --no-build-isolation --no-deps --progress-bar off \
	    --config-settings=build-dir=$(WHEEL_BUILD) .

demo: install
	cd examples && $(PYTHON) demo.py && PYTHON=$(PYTHON) sh demo_command.sh

bench: build
	PYTHON=$(PYTHON) tools/install-deps.sh --bench
	PYTHONPATH=$(CURDIR)/$(BUILD)/torva-py:$(CURDIR) $(PYTHON) benchmarks/run_all.py

fuzz:
	PYTHON=$(PYTHON) tools/install-deps.sh --fuzz
	CXX=clang++ cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVA_BUILD_FUZZ=ON \
	    -DTORVA_BUILD_PYTHON=OFF -DTORVA_BUILD_TESTS=OFF -DTORVA_BUILD_BENCHMARKS=OFF
	cmake --build build-fuzz -j $(JOBS)
	torva-core/fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WHEEL_BUILD) build-fuzz
