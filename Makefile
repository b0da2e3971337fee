# Set-up is part of every target: a fresh machine needs only Python 3.10+ and a C++20 compiler.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
DEPS   := $(VENV)/.deps-stamp
BUILD_DEPS := scikit-build-core pybind11 ninja cmake
# For the suite's ONNX export checks (about 10 s more to install; without them those
# tests are skipped). The versions the README's ecosystem table was checked with.
ONNX_DEPS  := onnx==1.23.2 onnxscript==0.7.2 onnxruntime==1.32.0
# quorvane.save/load write safetensors. transformers is for the suite's tests on ViT,
# GPT-2 and BERT built from small configs (about 15 s more to install, and it leaves torch
# as pinned here; without it those tests are skipped); the version they were checked with.
CHECKPOINT_DEPS := safetensors==0.8.0
TRANSFORMERS_DEPS := transformers==5.25.0
PYTEST_ARGS ?=

.PHONY: demo test install build bench fuzz sanitize portability portability-full torch-range clean

$(DEPS): pyproject.toml Makefile
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q torch==2.13.0 numpy $(CHECKPOINT_DEPS) pytest hypothesis $(ONNX_DEPS) $(TRANSFORMERS_DEPS) \
	    $(BUILD_DEPS)
	touch $@

# Builds the wheel (incrementally, in build/<wheel tag>: pyproject.toml names no build
# folder, so a plain `pip install .` builds in a temporary one) and installs it into the
# venv. In-place builds are removed first so they never end up in the wheel.
install: $(DEPS)
	rm -f src/quorvane/*.so
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	    --config-settings=build-dir=build/{wheel_tag} .

# Trains the embedded default network (a fixed, seeded number of steps on one torch
# thread, so every run trains the same network), converts it, verifies and times it, and
# saves it.
demo: install
	$(PY) -m quorvane convert --torch-threads 1 -o build/demo/converted.pt

# Under CI (CI set) the suite then runs again against the sanitizer builds, and against
# the oldest and the newest torch release the package supports (torch-range: the newest
# on the newest CPython that pyenv has here, so one run covers both; venvs kept under the
# user cache, so later runs reuse them).
test: install
	$(PY) -m pytest -q $(PYTEST_ARGS)
	@if [ -n "$$CI" ]; then $(MAKE) --no-print-directory sanitize; fi
	@if [ -n "$$CI" ]; then $(MAKE) --no-print-directory torch-range PYTEST_ARGS=; fi

# In-place development build: run code with PYTHONPATH=src.
build: $(DEPS)
	$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build build/dev
	cp build/dev/*.so src/quorvane/

# Both extensions built with AddressSanitizer and UndefinedBehaviorSanitizer, and the
# test suite run against them (SANITIZE_TESTS picks a part of it).
SANITIZE_TESTS ?= tests
sanitize: $(DEPS)
	$(VENV)/bin/cmake -S . -B build/sanitize -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build build/sanitize
	rm -rf build/sanitize-pkg && mkdir -p build/sanitize-pkg && cp -r src/quorvane build/sanitize-pkg/
	rm -f build/sanitize-pkg/quorvane/*.so && cp build/sanitize/*.so build/sanitize-pkg/quorvane/
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:alloc_dealloc_mismatch=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	QUORVANE_SANITIZED=1 PYTHONPATH=build/sanitize-pkg $(PY) -m pytest -q -p no:cacheprovider $(SANITIZE_TESTS)

# Compiles both extensions against every CPython 3.10+ that pyenv has here, with
# warnings as errors, and imports them where torch is installed.
portability: $(DEPS)
	$(PY) tools/check_portability.py

# The whole suite under every CPython 3.10+ that pyenv has here, one venv per
# interpreter under ~/.cache/quorvane/venvs (made once and reused; for most versions
# PyPI's torch is a 5 GB CUDA build, which runs on the CPU). Prints the pass counts
# per interpreter.
portability-full:
	bash tools/portability_full.sh

# The whole suite against the oldest supported torch release and, on the newest pyenv
# CPython, the newest, each in a venv under ~/.cache/quorvane/venvs (made once and
# reused; PyPI's torch is a CUDA build, which runs on the CPU). tools/torch_range.sh
# 2.6.0 ... runs other releases.
torch-range:
	PYTHON=$(PYTHON) PYTEST_ARGS="$(PYTEST_ARGS)" bash tools/torch_range.sh

bench: install
	$(PY) benchmarks/forward.py --torch-threads 1
	$(PY) benchmarks/walks.py
	$(PY) benchmarks/training.py

# Many more generated cases than the test suite runs.
fuzz: install
	QUORVANE_FUZZ_EXAMPLES=5000 $(PY) -m pytest -q tests/test_fuzz.py

clean:
	rm -rf build src/quorvane/*.so
