# The commands of the README. Each installs what it needs itself. The long
# runs (fuzz: FUZZ_SECONDS per target, default 30; timing) stay out of `test`.
.PHONY: test demo bench fuzz timing clean

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
