# murva-signal: `make run` starts the server with the built-in defaults; `make test` runs every test.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
CMAKE_GEN  := -G Ninja
JOBS       ?= $(shell nproc)

.PHONY: all deps deps-e2e build run test format-check test-release test-asan test-tsan bench fuzz soak install uninstall deb image clean

all: build

deps:
	scripts/install-deps.sh

deps-e2e:
	scripts/install-deps.sh --e2e

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Builds only the server (not the test suites) and starts it in the current directory (it writes
# murva-signal.json there on first start).
run: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target murva-signal
	./$(BUILD)/murva-signal

# Every test in a Release build, then again under AddressSanitizer + UndefinedBehaviorSanitizer (all but the
# browser end-to-end group), then everything that runs threads under ThreadSanitizer, then a short fuzz run.
test: deps-e2e format-check test-release test-asan test-tsan fuzz-smoke

# Every C++ file the repository tracks is in the house style (.clang-format).
format-check: deps
	git ls-files -z '*.cpp' '*.hpp' '*.h' | xargs -0 clang-format --dry-run -Werror

# The Release tree also builds the load generator, for its own checks (label bench).
test-release: build
	cmake -S . -B $(BUILD) -DMURVA_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DMURVA_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -LE e2e

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMURVA_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_signaling test_transport test_attack test_cluster
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L 'signaling|transport|attack|cluster'

# libFuzzer targets (clang, ASan + UBSan): `make fuzz` runs each for FUZZ_SECONDS on a working copy of its
# corpus under $(FUZZ_BUILD); `make fuzz-smoke` replays the corpus and fuzzes each briefly (part of `make test`).
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 10
.PHONY: fuzz-build fuzz-smoke

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMURVA_FUZZ=ON -DMURVA_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) fuzz-work

fuzz-smoke: fuzz-build
	rm -rf $(FUZZ_BUILD)/fuzz-smoke
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS) fuzz-smoke

# Load figures of a Release server and our own load generator; not part of `make test` (see bench/README.md).
bench: deps
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DMURVA_BENCH=ON -DMURVA_TESTS=OFF
	cmake --build build-bench -j $(JOBS) --target murva-signal murva-bench
	bench/run.sh build-bench

# A million connection lifetimes against a Release server in one process; fails on leftover state or memory
# growth. Not part of `make test`; SOAK_LIFETIMES=100000 makes a shorter run.
SOAK_LIFETIMES ?= 1000000
soak: deps
	cmake -S . -B build-soak $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DMURVA_SOAK=ON -DMURVA_TESTS=OFF
	cmake --build build-soak -j $(JOBS) --target murva-soak
	./build-soak/soak/murva-soak --lifetimes $(SOAK_LIFETIMES)

# Installs the built server and its systemd unit; builds nothing, so `make build` (or cmake) comes first.
# The unit's ExecStart names the installed binary. DESTDIR stages the files under another root (packaging).
PREFIX  ?= /usr/local
BINDIR  ?= $(PREFIX)/bin
UNITDIR ?= $(PREFIX)/lib/systemd/system

install:
	@test -x '$(BUILD)/murva-signal' || { echo "make install: $(BUILD)/murva-signal is not built; run 'make build' first" >&2; exit 1; }
	install -d '$(DESTDIR)$(BINDIR)' '$(DESTDIR)$(UNITDIR)'
	install -m 0755 '$(BUILD)/murva-signal' '$(DESTDIR)$(BINDIR)/murva-signal'
	sed 's|^ExecStart=.*|ExecStart=$(BINDIR)/murva-signal|' dist/murva-signal.service > '$(DESTDIR)$(UNITDIR)/murva-signal.service'
	chmod 0644 '$(DESTDIR)$(UNITDIR)/murva-signal.service'

uninstall:
	rm -f '$(DESTDIR)$(BINDIR)/murva-signal' '$(DESTDIR)$(UNITDIR)/murva-signal.service'

# The Debian package ($(BUILD)/deb/VERSION/murva-signal_VERSION_amd64.deb) and the container image
# (murva-signal:VERSION, podman), both from the Release build in $(BUILD); their tests (label dist) are part of
# test-release.
deb: build
	scripts/build-deb.sh $(BUILD)

image: build
	scripts/build-image.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-bench build-fuzz build-soak
