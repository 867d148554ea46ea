.PHONY: test setup run bench

setup:
	scripts/setup.sh

test: setup
	scripts/test-all.sh

run: setup
	scripts/run.sh

bench: setup
	bench/run-bench.sh
