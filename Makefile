# murva-signal: `make run` starts the server with the built-in defaults; `make test` runs every test.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
CMAKE_GEN  := -G Ninja
JOBS       ?= $(shell nproc)

.PHONY: all deps deps-e2e build run test test-release test-asan test-tsan bench fuzz soak clean

all: build

deps:
	scripts/install-deps.sh

deps-e2e:
	scripts/install-deps.sh --e2e

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Starts the server in the current directory (it writes murva-signal.json there on first start).
run: build
	./$(BUILD)/murva-signal

# Every test in a Release build, then again under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the concurrency tests under ThreadSanitizer.
test: deps-e2e test-release test-asan test-tsan

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DMURVA_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -LE e2e

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMURVA_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_signaling test_connection test_transport
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L 'signaling|connection|threads'

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-bench build-fuzz
