# The two commands of the README. Both install what they need themselves.
.PHONY: test demo bench clean

test:
	@scripts/run-tests.sh

demo:
	@scripts/run-demo.sh

bench:
	@scripts/run-bench.sh

clean:
	rm -rf build dist
