# The two commands of the README: `make run` and `make test`. Both install what
# is missing and build first.
PYTHON := .venv/bin/python
DEV_PATH := PYTHONPATH=$(CURDIR)/build/python

.PHONY: setup build run test test-cpp test-python clean

setup:
	@bash scripts/setup.sh

build: setup
	@bash scripts/build.sh

run: build
	@$(DEV_PATH) $(PYTHON) examples/quickstart.py

test: build
	ctest --test-dir build --output-on-failure -j2
	$(DEV_PATH) $(PYTHON) -m pytest -q tests/python

clean:
	rm -rf build
