.PHONY: test setup

setup:
	scripts/setup.sh

test: setup
	scripts/test-all.sh
