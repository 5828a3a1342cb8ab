# The two commands of the README. Both install what they need first.
BUILD ?= build
JOBS ?= $(shell nproc)
# The build's own make runs inside this one: without this every step of it
# would say which folder it enters and leaves.
MAKEFLAGS += --no-print-directory

.PHONY: all bootstrap configure build run test fuzz bench bench-client bench-server clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Builds everything and starts the client on the emulated device.
run: build
	@scripts/run-demo $(BUILD)

# Builds everything and runs every test.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS seconds (its seed corpus in fuzz/corpus,
# new inputs in build/fuzz-work), then its kept regression inputs.
FUZZ_SECONDS ?= 60
fuzz: build
	@scripts/run-fuzz $(BUILD) $(FUZZ_SECONDS)

# Benchmarks: prints the results and writes them to docs/performance.md.
bench: bench-client bench-server

# The handheld client: instruction counts, times, peak heap, idle CPU.
bench-client: build
	@python3 bench/client/run_bench.py --build $(BUILD) --doc docs/performance.md

# The rendering server: tap to answer, page-stream bytes, memory per session,
# sessions under load.
bench-server: build
	@python3 bench/server/bench_server.py --build $(BUILD) --doc docs/performance.md

clean:
	rm -rf $(BUILD)
