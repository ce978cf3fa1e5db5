# The project's front door. `make demo` shows the agent at work; `make check` installs what is
# missing, builds with sanitizers and runs every test.
.PHONY: all deps build demo check check-nounity check-tsan bench fuzz clean install package package-check

JOBS ?= $(shell nproc)

all: build

deps:
	@./deps/install.sh

build: deps
	cmake --preset default >/dev/null
	cmake --build build -j $(JOBS)

demo: deps
	cmake --preset default >/dev/null
	cmake --build build -j $(JOBS) --target tavro-companion tavro-companion-ctl
	@./tools/demo.sh build/bin

# The build shows only what the compiler says (a warning, an error), not its progress; ctest
# prints one line per test (its "Start" lines are dropped), then the summary, and the output of
# a test only when it failed. The pipe keeps ctest's own exit status.
ONE_LINE_PER_TEST = bash -o pipefail -c
WITHOUT_STARTS = grep -v "^ *Start "

# The sanitizer and package builds compile each library and test suite as a few large files
# (CMAKE_UNITY_BUILD in their presets): a fresh clone's check spent most of its time parsing the
# same headers once per file. The default build keeps one object per file for quick rebuilds.
check: deps
	cmake --preset asan >/dev/null
	cmake --build build-asan -j $(JOBS) -- --quiet
	cd build-asan && $(ONE_LINE_PER_TEST) 'ctest --output-on-failure -j $(JOBS) --timeout 600 | $(WITHOUT_STARTS)'
	$(MAKE) --no-print-directory fuzz
	$(MAKE) --no-print-directory package-check

# A short libFuzzer run over the frame and message decoder, from the committed corpus.
FUZZ_SECONDS ?= 30
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target wire_fuzz -- --quiet
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
	@# The fuzzer reports progress thousands of times; only its summary is shown, or the log's
	@# end when it found something.
	@build-fuzz/bin/wire_fuzz -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -print_final_stats=1 \
		build-fuzz/corpus tests/fuzz/corpus > build-fuzz/fuzz.log 2>&1 || { tail -n 60 build-fuzz/fuzz.log; exit 1; }
	@grep -E '^(Done|stat::)' build-fuzz/fuzz.log

# The sanitizer builds compile unity files, where a file may build only thanks to what a
# neighbour included; this compiles every file on its own, unoptimised (CI runs it once).
check-nounity: deps
	cmake --preset nounity >/dev/null
	cmake --build build-nounity -j $(JOBS) -- --quiet

# RelWithDebInfo without NDEBUG: the assertions of thread confinement and lock ownership are
# live here, as in the Debug build of `check`.
check-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build build-tsan -j $(JOBS) -- --quiet
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
		$(ONE_LINE_PER_TEST) 'ctest --output-on-failure -j $(JOBS) --timeout 600 | $(WITHOUT_STARTS)'

bench: deps
	cmake --preset bench >/dev/null
	cmake --build build-bench -j $(JOBS)
	@./bench/run.sh build-bench/bin

# The installed programs come from their own hardened release build without the tests; `install`
# and `package` share it. `make install PREFIX=/usr/local DESTDIR=/tmp/stage`.
PREFIX ?= /usr/local
PACKAGE_PREFIX := /usr
install: deps
	cmake --preset package -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build build-package -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install build-package

package: deps
	cmake --preset package -DCMAKE_INSTALL_PREFIX=$(PACKAGE_PREFIX) >/dev/null
	cmake --build build-package -j $(JOBS) -- --quiet
	cd build-package && cpack -G DEB >/dev/null
	@ls build-package/tavro-companion_*.deb

# lintian, the desktop entry, the AppStream data, the units, the manuals, and the installed
# agent serving the example host program built against the installed client library.
package-check: package
	./tests/packaging/check.sh build-package

clean:
	rm -rf build build-asan build-nounity build-tsan build-bench build-fuzz build-package

# The setup window rendered offscreen in each service state, with and without the Accessibility
# permission, into docs/screenshots/.
.PHONY: screenshots
screenshots: deps
	cmake --preset default >/dev/null
	cmake --build build -j $(JOBS) --target setup_screenshots
	QT_QPA_PLATFORM=offscreen build/bin/setup_screenshots docs/screenshots
