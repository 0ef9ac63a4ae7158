# Entry points: `make check` builds and runs every test, `make demo` runs a demo installer.
BUILD ?= build
SAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Warnings are errors in the builds made here (our own checks and CI); `make WERROR=OFF`, a
# plain cmake build or `make portable` only shows them.
WERROR ?= ON
# The portable stub's architecture: amd64 (build-portable/) or arm64 (build-portable-arm64/).
ARCH ?= amd64

.PHONY: all deps build sanitize check check-fast unit test test-sanitize demo bench fuzz portable portable-check dist icon casefold clean

all: build

# Only `make check` and `make demo` install packages; the other targets say what is missing.
deps:
	@scripts/install-deps.sh

build:
	@scripts/install-deps.sh --check build
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=MinSizeRel -DSFX_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

sanitize:
	@scripts/install-deps.sh --check build
	@cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSFX_SANITIZE=ON -DSFX_WERROR=$(WERROR) \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(SAN_BUILD) -j$(JOBS)

test: build
	@scripts/install-deps.sh --check test
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same tests again with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: sanitize
	cd $(SAN_BUILD) && ctest --output-on-failure -j$(JOBS)

check: deps
	@$(MAKE) --no-print-directory test test-sanitize

# The plain suite alone, for a quick answer while working; CI runs `check`.
check-fast: deps
	@$(MAKE) --no-print-directory test

# The unit tests alone (ctest -L unit: one program each, no installer run), the quickest
# loop. One test: see the README's "Running one test".
unit: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) -L unit

# The shipped stub, built in a Debian 11 root so it starts on glibc 2.28 and newer:
# build-portable/sfx-stub, or with ARCH=arm64 build-portable-arm64/sfx-stub (cross-compiled
# in the same root). Needs root (debootstrap, chroot, mount namespaces).
PORTABLE_DEPS = portable $(if $(filter arm64 aarch64,$(ARCH)),emulation)
portable:
	@scripts/install-deps.sh --check $(PORTABLE_DEPS)
	@scripts/portable.sh build $(ARCH)

# That stub through the glibc floor check, and every test, in the Debian 11 root; the arm64
# stub's under qemu-user. CTEST_ARGS='-L unit' runs the unit tests alone.
CTEST_ARGS ?=
portable-check:
	@scripts/install-deps.sh --check $(PORTABLE_DEPS)
	@CTEST_ARGS="$(CTEST_ARGS)" scripts/portable.sh check $(ARCH)

# One reproducible archive for packagers: both portable stubs, tools/pack-installer and this
# machine's sfx-list, the README and SHA256SUMS, written to dist/.
dist:
	@scripts/install-deps.sh --check portable
	@scripts/portable.sh build amd64
	@scripts/portable.sh build arm64
	@scripts/dist.sh

demo: deps
	@$(MAKE) --no-print-directory build
	@demo/run-demo.sh $(BUILD)

bench: build
	@scripts/install-deps.sh --check test bench
	@bench/run-all.sh $(BUILD)

# The window icon's XPM source, drawn again from its generator (a test checks that this
# gives the committed file byte for byte).
icon:
	@/usr/bin/python3 tools/icon/draw_icon.py src/ui/window_icon_xpm.cpp

# The case fold table, made again from exFAT's up-case table (as mkfs.exfat writes it) and
# Unicode's CaseFolding.txt (a test checks that this gives the committed file byte for byte).
casefold:
	@/usr/bin/python3 tools/casefold/make_fold_table.py src/extract/case_fold_table.cpp

# libFuzzer over the archive reader and the extraction, from the generated seed corpus.
# Crashing inputs land in $(FUZZ_BUILD)/crash-*; copy them to tests/fuzz/regressions/.
fuzz:
	@scripts/install-deps.sh --check build fuzz
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSFX_FUZZ=ON -DSFX_WERROR=$(WERROR) \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ_BUILD) --target archive_fuzz -j$(JOBS)
	@/usr/bin/python3 tests/support/zipcorpus.py $(FUZZ_BUILD)/seeds
	@mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/tests/fuzz/archive_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=4096 -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 \
	  $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds tests/fuzz/regressions

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) build-portable build-portable-arm64 dist
