# The commands of the README. Each installs what it needs itself. `check` is
# the fast loop between edits; `test` is the full run. The long runs (fuzz:
# FUZZ_SECONDS per target, default 30; timing) stay out of `test`.
.PHONY: check test demo bench fuzz timing clean

check:
	@scripts/check.sh

test:
	@scripts/run-tests.sh

demo:
	@scripts/run-demo.sh

bench:
	@scripts/run-bench.sh

fuzz:
	@scripts/run-fuzz.sh

timing:
	@scripts/run-timing.sh

clean:
	rm -rf build dist
