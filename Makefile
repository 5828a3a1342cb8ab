# The two commands of the README. Both install what they need first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all bootstrap configure build run test clean

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

clean:
	rm -rf $(BUILD)
