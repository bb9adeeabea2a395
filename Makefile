# Quick start: `make demo` restores the bundled samples; `make test` builds and runs every test.
.PHONY: demo test release bench fuzz clean

UNQUARVEX := build/release/src/cli/unquarvex

release:
	@tools/ensure-deps demo
	cmake --preset release >/dev/null
	cmake --build --preset release

# Restores samples/*.qvx into ./restored and checks each file against its original.
demo: release
	rm -rf restored
	$(UNQUARVEX) -d samples/*.qvx restored
	@status=0; for q in samples/*.qvx; do \
	  name=$$(basename "$$q" .qvx); \
	  if cmp -s "restored/$$name" "samples/$$name"; then echo "restored/$$name matches samples/$$name"; \
	  else echo "restored/$$name DIFFERS from samples/$$name"; status=1; fi; \
	done; exit $$status

# Every test under AddressSanitizer + UndefinedBehaviorSanitizer, then the pipeline tests under
# ThreadSanitizer.
test:
	@tools/ensure-deps test
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug -j2
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan

# Restore speed against xz and cp, peak memory; then the per-block micro benchmark.
bench:
	@tools/ensure-deps bench
	bench/run
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	build/bench/bench/decode_bench

fuzz:
	@tools/ensure-deps fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

clean:
	rm -rf build restored
