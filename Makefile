.PHONY: test setup run dist dist-check bench footprint

setup:
	scripts/setup.sh

test: setup
	scripts/test-all.sh

run: setup
	scripts/run.sh

dist: setup
	scripts/dist.sh

dist-check: dist
	scripts/dist-check.sh

bench: setup
	bench/run-bench.sh

footprint: setup
	bench/footprint.sh --repeat 2 --live
