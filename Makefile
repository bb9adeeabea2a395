# Quick start: `make demo` restores the bundled samples; `make test` builds and runs every test.
# `make help` lists every target.
.PHONY: release demo test install uninstall deb bench fuzz windows windows-zip windows-demo clean help

# Where `make install` puts bin/, share/man/, ...; DESTDIR=D stages it under D (for packagers).
PREFIX ?= /usr/local
RELEASE_DIR := build/release
# Where CMake put the programs (their folders may move): program-paths.txt in the build tree.
UNQUARVEX = $$(sed -n 's/^unquarvex=//p' $(RELEASE_DIR)/program-paths.txt)

release:
	@tools/ensure-deps demo
	cmake --preset release >/dev/null
	cmake --build --preset release
	@sed 's/=/: /' $(RELEASE_DIR)/program-paths.txt

# Restores samples/*.qvx into ./restored and checks each file against its original.
demo: release
	rm -rf restored
	@u=$(UNQUARVEX); echo "$$u -d samples/*.qvx restored"; "$$u" -d samples/*.qvx restored
	@status=0; for q in samples/*.qvx; do \
	  name=$$(basename "$$q" .qvx); \
	  if cmp -s "restored/$$name" "samples/$$name"; then echo "restored/$$name matches samples/$$name"; \
	  else echo "restored/$$name DIFFERS from samples/$$name"; status=1; fi; \
	done; exit $$status

# Four passes, each building only what it runs: every unit and end-to-end test under
# AddressSanitizer + UndefinedBehaviorSanitizer; under ThreadSanitizer the tests whose labels the
# tsan preset lists in UQ_TEST_LABELS (CMakePresets.json); in the release tree, which
# `make demo`, `make install` and `make deb` use, the install, man page, completion and package
# tests, and the restore under an address-space limit that the sanitizers can't run under; and in
# the Windows tree, which `make windows` uses, the tests built for Windows and run under Wine.
test:
	@tools/ensure-deps test
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan
	cmake --preset release >/dev/null
	cmake --build --preset release
	ctest --preset release
	cmake --preset windows >/dev/null
	cmake --build --preset windows
	ctest --preset windows

# Both programs, their man pages, bash completion and the README under $(PREFIX).
# A tree built already is not configured again, so that `sudo make install` after a build as
# yourself writes nothing in it but the manifest.
install:
	@tools/ensure-deps install
	@[ -f $(RELEASE_DIR)/build.ninja ] || cmake --preset release >/dev/null
	cmake --build --preset release
	cmake --install $(RELEASE_DIR) --prefix "$(abspath $(PREFIX))"
	@# Under sudo the manifest is new and root's; give it the tree's owner like the rest.
	@chown --reference=$(RELEASE_DIR) $(RELEASE_DIR)/install_manifest.txt 2>/dev/null || true

# Removes what `make install PREFIX=...` installed under the same PREFIX (and DESTDIR).
uninstall:
	@[ -f $(RELEASE_DIR)/build.ninja ] || cmake --preset release >/dev/null
	cmake -DPREFIX="$(abspath $(PREFIX))" -P $(RELEASE_DIR)/uninstall.cmake

# The Debian package, in build/release/package/.
deb:
	@tools/ensure-deps deb
	cmake --preset release >/dev/null
	cmake --build --preset release --target package

# The benchmark report: sizes, compress and restore speed against xz, zstd, gzip and cp, scaling
# and peak memory into bench/results.md and bench/results.svg (bench/run); then the per-block
# micro benchmark.
bench:
	@tools/ensure-deps bench
	bench/run
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j2
	build/bench/bench/decode_bench

fuzz:
	@tools/ensure-deps fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

# The programs for 64-bit Windows, cross-built with mingw-w64 and linked statically, in
# $(WINDOWS_DIR)/bin.
WINDOWS_DIR := build/windows
windows:
	@tools/ensure-deps windows
	cmake --preset windows >/dev/null
	cmake --build --preset windows --target programs
	@ls $(WINDOWS_DIR)/bin/*.exe

# $(WINDOWS_DIR)/unquarvex-<version>-win64.zip: the programs, the README and the manuals as text.
windows-zip:
	@tools/ensure-deps windows-zip
	cmake --preset windows >/dev/null
	cmake --build --preset windows --target windows-zip
	@ls $(WINDOWS_DIR)/*.zip

# Restores samples/*.qvx with unquarvex.exe under Wine (the pattern expanded by the program's C
# runtime, as in cmd.exe) and checks each file against its original.
windows-demo: windows
	@tools/ensure-deps windows-demo
	rm -rf $(WINDOWS_DIR)/restored
	tests/windows/wine-run $(WINDOWS_DIR)/wine $(WINDOWS_DIR)/bin/unquarvex.exe -d 'samples\*.qvx' $(WINDOWS_DIR)/restored
	@status=0; for q in samples/*.qvx; do \
	  name=$$(basename "$$q" .qvx); \
	  if cmp -s "$(WINDOWS_DIR)/restored/$$name" "samples/$$name"; then echo "$(WINDOWS_DIR)/restored/$$name matches samples/$$name"; \
	  else echo "$(WINDOWS_DIR)/restored/$$name DIFFERS from samples/$$name"; status=1; fi; \
	done; exit $$status

clean:
	rm -rf build restored

help:
	@echo "make [release]  build unquarvex and quarvex (-O2) in $(RELEASE_DIR), print where they are"
	@echo "make demo       build, restore samples/*.qvx into ./restored and compare with the originals"
	@echo "make test       every test: ASan+UBSan, ThreadSanitizer, install/man/completion/package, Windows"
	@echo "make install    install under PREFIX (now $(PREFIX)); DESTDIR=D stages it under D"
	@echo "make uninstall  remove what make install put under PREFIX"
	@echo "make deb        the Debian package, in $(RELEASE_DIR)/package/"
	@echo "make bench      restore speed against xz and cp, memory, the per-block micro benchmark"
	@echo "make fuzz       build the libFuzzer targets (clang)"
	@echo "make windows    build unquarvex.exe and quarvex.exe for 64-bit Windows in $(WINDOWS_DIR)/bin (mingw-w64)"
	@echo "make windows-zip  the Windows zip: programs, README, manuals as text"
	@echo "make windows-demo restore samples/*.qvx with unquarvex.exe under Wine and compare"
	@echo "make clean      remove build/ and restored/"
	@echo "QVX_SKIP_DEPS=1 skips the check for the Debian packages each target needs."
