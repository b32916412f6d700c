# The two commands of the README: `make run` and `make test`. Both install what
# is missing and build first.
PYTHON := .venv/bin/python
DEV_PATH := PYTHONPATH=$(CURDIR)/build/python

.PHONY: setup build run test lint sanitize bench clean

setup:
	@bash scripts/setup.sh

build: setup
	@bash scripts/build.sh

run: build
	@$(DEV_PATH) $(PYTHON) examples/quickstart.py

test: build
	ctest --test-dir build --output-on-failure -j2
	$(DEV_PATH) $(PYTHON) -m pytest -q tests/python

# The format check and a warning-free build of everything (build-werror/).
lint: setup
	@bash scripts/lint.sh

# The same tests on a separate tree built with the address and undefined-behaviour sanitizers.
sanitize: setup
	@bash scripts/sanitize.sh

# Benchmarks: peer libraries live in their own environment, never in the test run.
BENCH_ROWS ?= 1000000
BENCH_PEER_ITERATIONS ?= 2
BENCH_PYTHON := .venv-bench/bin/python
bench: build
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARVINEX_BUILD_BENCH=ON -DTARVINEX_BUILD_TESTS=OFF \
		-DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) >/dev/null
	@cmake --build build-bench --target bench_assign_pass bench_dense_pass -j"$$(nproc)"
	./build-bench/bench/bench_assign_pass $(BENCH_ROWS)
	./build-bench/bench/bench_dense_pass
	@bash scripts/setup_bench.sh
	$(DEV_PATH) $(BENCH_PYTHON) bench/fit_symmetric.py --rows $(BENCH_ROWS) --peer-iterations $(BENCH_PEER_ITERATIONS)
	$(DEV_PATH) $(BENCH_PYTHON) bench/train_quantizer.py --encode-rows $(BENCH_ROWS)
	$(DEV_PATH) $(BENCH_PYTHON) bench/fit_dense.py --peer-iterations $(BENCH_PEER_ITERATIONS)
	$(DEV_PATH) $(PYTHON) bench/analyze_k.py --rows $(BENCH_ROWS)

clean:
	rm -rf build build-bench build-sanitize build-werror
