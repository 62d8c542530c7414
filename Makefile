# The two commands of the README: `make run` and `make test`.
# Both install what is missing (Debian 12, as root), configure and build.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build run test clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/run-program $(BUILD_DIR)

test: build
	@scripts/run-tests $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
