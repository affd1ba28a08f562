# make run   installs what is missing, builds, launches Rondo
# make test  installs what is missing, builds, runs every test headless
# make bench runs the benchmarks (figures in docs/performance.md)

BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=
# make run ARGS=path/to/loop.rlf opens that loop.
ARGS ?=

.PHONY: all run test bench deps configure build clean

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

clean:
	rm -rf $(BUILD)
