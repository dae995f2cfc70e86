# Entry points: make run, make test, make test-sanitize, make bench, make bench-load.
# Every target installs what is missing first (scripts/install-deps), so a fresh
# Debian 12 machine needs nothing else.
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= $(shell nproc)
RUN_ARGS ?= --start

.PHONY: deps deps-test run build-release package test build-debug test-sanitize test-asan test-tsan bench bench-load fuzz clean

deps:
	@scripts/install-deps

# Tests also need Chromium and Node.js for the control panel's browser test.
deps-test:
	@scripts/install-deps --browser

build-release: deps
	@[ -f build/release/CMakeCache.txt ] || cmake -S . -B build/release $(GEN) -DCMAKE_BUILD_TYPE=Release -DTESSIL_BUILD_TESTS=OFF
	cmake --build build/release -j $(JOBS)

# A Debian package of the server, tessil-cli and the client library (build/release/*.deb).
package: build-release
	cd build/release && cpack -G DEB

run: build-release
	./build/release/server/TessilServiceApp $(RUN_ARGS)

build-debug: deps-test
	@[ -f build/debug/CMakeCache.txt ] || cmake -S . -B build/debug $(GEN) -DCMAKE_BUILD_TYPE=Debug -DTESSIL_BUILD_BENCH=OFF
	cmake --build build/debug -j $(JOBS)

test: build-debug
	cd build/debug && ctest --output-on-failure -j $(JOBS) --timeout 600

test-asan: deps-test
	@[ -f build/asan/CMakeCache.txt ] || cmake -S . -B build/asan $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIL_SANITIZE=address -DTESSIL_BUILD_BENCH=OFF
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

test-tsan: deps-test
	@[ -f build/tsan/CMakeCache.txt ] || cmake -S . -B build/tsan $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIL_SANITIZE=thread -DTESSIL_BUILD_BENCH=OFF
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -L 'concurrency|e2e|cluster|iocpengine'

test-sanitize: test-asan test-tsan

# The libFuzzer targets (Debian's clang), each run for FUZZ_SECONDS from the seed corpus in
# fuzz/corpus; inputs it finds go to build/fuzz/corpus, a crashing input to build/fuzz/.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := frame_reader handshake request_intake
fuzz: deps
	@[ -f build/fuzz/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B build/fuzz $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIL_FUZZ=ON -DTESSIL_BUILD_TESTS=OFF -DTESSIL_BUILD_BENCH=OFF
	cmake --build build/fuzz -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  ./build/fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=10 \
	    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
	    build/fuzz/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

bench: deps
	@[ -f build/release/CMakeCache.txt ] || cmake -S . -B build/release $(GEN) -DCMAKE_BUILD_TYPE=Release -DTESSIL_BUILD_TESTS=OFF
	cmake --build build/release -j $(JOBS)
	@for b in build/release/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

# The load comparison: the Release server beside the limit server of the measuring kit,
# same shapes, same run (about 4 minutes; DUR=5 SHAPES="ping chat8" for a quick look).
BENCH_KIT ?= ../shared/bench
bench-load: bench
	@[ -x $(BENCH_KIT)/compare.sh ] || { echo "bench-load: no measuring kit at $(BENCH_KIT) (set BENCH_KIT)"; exit 1; }
	$(BENCH_KIT)/compare.sh build/release/server/TessilServiceApp

clean:
	rm -rf build
