# make run   installs what is missing, builds, launches Rondo
# make test  installs what is missing, builds, runs every test headless
# make bench runs the benchmarks (figures in docs/performance.md)
# make install [PREFIX=/usr/local] [DESTDIR=...]  installs the built program
# make uninstall [PREFIX=...]  removes what make install installed
# make package   the Debian package, build/package/rondo_VERSION_ARCH.deb
# make sanitize  every test under AddressSanitizer and UBSan, the core's tests
#                under ThreadSanitizer; fails on any report
# make fuzz      each fuzz target for FUZZ_TIME seconds (docs/hardening.md)

BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=
# make run ARGS=path/to/loop.rlf opens that loop.
ARGS ?=
PREFIX ?= /usr/local

.PHONY: all run test bench deps configure build clean install uninstall package sanitize sanitize-address sanitize-thread fuzz

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DRONDO_WERROR=ON $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run:
	@scripts/install-deps --run
	@$(MAKE) --no-print-directory build
	$(BUILD)/src/rondo $(ARGS)

test: deps
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

bench: deps
	@$(MAKE) --no-print-directory build
	$(BUILD)/bench/rondo_bench --benchmark_min_time=0.5
	$(BUILD)/bench/rondo_bench_latency --seconds 20
	$(BUILD)/bench/rondo_bench_jack --seconds 60
	bench/idle-memory $(BUILD)/src/rondo

clean:
	rm -rf $(BUILD)

# Without DESTDIR the desktop learns of the new launcher, file type and icon
# at once; a package's triggers do that when it is installed. The list of
# installed files is kept for uninstall (the tests' installs into temporary
# prefixes overwrite CMake's own manifest). A MIME folder without packages
# holds nothing but the database made from them.
define refresh_desktop_caches
	@if [ -z "$(DESTDIR)" ]; then \
	  if [ -d "$(PREFIX)/share/mime/packages" ]; then \
	    ! command -v update-mime-database >/dev/null || update-mime-database "$(PREFIX)/share/mime"; \
	  elif [ -f "$(PREFIX)/share/mime/mime.cache" ]; then \
	    rm -rf "$(PREFIX)/share/mime"; \
	  fi; \
	  ! command -v update-desktop-database >/dev/null || update-desktop-database -q "$(PREFIX)/share/applications"; \
	  ! command -v gtk-update-icon-cache >/dev/null || gtk-update-icon-cache -qtf "$(PREFIX)/share/icons/hicolor"; \
	fi
endef

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"
	cp $(BUILD)/install_manifest.txt $(BUILD)/installed-files.txt
	$(refresh_desktop_caches)

uninstall:
	@[ -f $(BUILD)/installed-files.txt ] || { echo "make uninstall: nothing was installed from $(BUILD)" >&2; exit 1; }
	xargs -d '\n' rm -f < $(BUILD)/installed-files.txt
	@xargs -d '\n' -n1 dirname < $(BUILD)/installed-files.txt | sort -u | \
	  xargs -d '\n' rmdir -p --ignore-fail-on-non-empty 2>/dev/null || true
	rm $(BUILD)/installed-files.txt
	$(refresh_desktop_caches)

package: deps
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && cpack -G DEB

# --- sanitizers and fuzzing (docs/hardening.md) ---

ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
FUZZ_TARGETS := fuzz_loop_file fuzz_settings
SUPPRESSIONS := $(CURDIR)/tests/sanitizers
# Qt is not built for ThreadSanitizer: only the core's test programs (by
# their ctest labels) run under it.
TSAN_LABELS := ^rondo_(core|midiout|cli|alloc)_tests$$
# Every report goes to a file that tests/sanitizers/run-ctest looks for.
# fast_unwind_on_malloc=0: glib has no frame pointers, and the leak
# suppression must see the library above it.
sanitize-address: export ASAN_OPTIONS = halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:fast_unwind_on_malloc=0:log_path=$(CURDIR)/$(ASAN_BUILD)/sanitizer-logs/asan
sanitize-address: export LSAN_OPTIONS = suppressions=$(SUPPRESSIONS)/lsan.supp:print_suppressions=0
sanitize-address: export UBSAN_OPTIONS = halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_BUILD)/sanitizer-logs/ubsan
# die_after_fork=0: a test that holds JACK clients starts the rondo binary;
# libjack's fork handlers start a thread in the child just before its exec.
sanitize-thread: export TSAN_OPTIONS = halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$(SUPPRESSIONS)/tsan.supp:log_path=$(CURDIR)/$(TSAN_BUILD)/sanitizer-logs/tsan
fuzz: export UBSAN_OPTIONS = halt_on_error=1:print_stacktrace=1

sanitize: deps
	@$(MAKE) --no-print-directory sanitize-address sanitize-thread

sanitize-address:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DRONDO_SANITIZE=address,undefined -DRONDO_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	tests/sanitizers/run-ctest $(ASAN_BUILD) -j $(JOBS)

sanitize-thread:
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DRONDO_SANITIZE=thread -DRONDO_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	tests/sanitizers/run-ctest $(TSAN_BUILD) -j $(JOBS) -L '$(TSAN_LABELS)'

# Each target's log is in $(FUZZ_BUILD)/TARGET.log, what it found in
# $(FUZZ_BUILD)/artifacts; fuzz/regressions/TARGET holds past findings.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DRONDO_FUZZ=ON -DRONDO_SANITIZE=address,undefined -DRONDO_BUILD_TESTS=OFF -DRONDO_BUILD_BENCH=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target rondo_fuzz
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "fuzz: $$t for $(FUZZ_TIME) s"; \
	  $(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_TIME) -max_len=4096 -timeout=10 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/fuzz/seeds/$$t \
	    $$(ls -d fuzz/regressions/$$t 2>/dev/null) >$(FUZZ_BUILD)/$$t.log 2>&1 \
	    || { tail -n 80 $(FUZZ_BUILD)/$$t.log; echo "fuzz: $$t found a fault" >&2; exit 1; }; \
	  grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' $(FUZZ_BUILD)/$$t.log; \
	done
