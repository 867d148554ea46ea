.PHONY: test setup run

setup:
	scripts/setup.sh

test: setup
	scripts/test-all.sh

run: setup
	scripts/run.sh
