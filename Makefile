# Entry points: `make check` builds and runs every test, `make demo` runs a demo installer.
BUILD ?= build
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build sanitize check test test-sanitize demo bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

sanitize: deps
	@cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSFX_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(SAN_BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The same tests again with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: sanitize
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j$(JOBS)

check: test test-sanitize

demo: build
	@demo/run-demo.sh $(BUILD)

bench: build
	@bench/run-all.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
