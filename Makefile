# Entry points for people and CI. Every target installs what is missing first (scripts/setup.sh).
BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
ASAN_HOST_BUILD_DIR ?= build-asan-host
BENCH_BUILD_DIR ?= build-bench
PACKAGE_BUILD_DIR ?= build-package
FUZZ_BUILD_DIR ?= build-fuzz
TSAN_BUILD_DIR ?= build-tsan
WINDOWS_BUILD_DIR ?= build-windows
DEMO_OUT       ?= demo-output
FUZZ_SECONDS   ?= 30
SOAK_STEPS     ?= 20000
CTEST_FLAGS    ?= --output-on-failure --timeout 300 -j2

.PHONY: all deps build demo test soak sanitize sanitize-host tsan bench fuzz package test-windows clean

all: build

deps:
	@./scripts/setup.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR)

# The main job: a scripted show with the real module in a headless OBS host against the stand-in service.
# Writes a PNG of the output after each step, and a screenshot of the preview dialog, to $(DEMO_OUT)/.
demo: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) --target kelvara-demo
	xvfb-run -a $(BUILD_DIR)/tools/demo/kelvara-demo --module $(BUILD_DIR)/src/kelvara-banner.so --data data \
		--out $(DEMO_OUT)

# Builds everything and runs every test.
test: build
	ctest --test-dir $(BUILD_DIR) $(CTEST_FLAGS)

# A long lifecycle soak: random lives of sources in the headless host (SOAK_SEED replays a run).
soak: build
	xvfb-run -a $(BUILD_DIR)/tests/lifecycle_soak --steps $(SOAK_STEPS) $(if $(SOAK_SEED),--seed $(SOAK_SEED))

# The host-free library and its tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD_DIR) -G Ninja -DKELVARA_HOST_FREE_ONLY=ON -DKELVARA_SANITIZE=address,undefined \
		-DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD_DIR)
	ctest --test-dir $(ASAN_BUILD_DIR) $(CTEST_FLAGS)

# The module in the host under AddressSanitizer: the cases where a source goes away while the operator
# looks at its dialog or while an exchange is in flight, and a run of the lifecycle soak.
sanitize-host: deps
	cmake -S . -B $(ASAN_HOST_BUILD_DIR) -G Ninja -DKELVARA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_HOST_BUILD_DIR) --target host_tests lifecycle_soak
	ASAN_OPTIONS=detect_leaks=0 xvfb-run -a $(ASAN_HOST_BUILD_DIR)/tests/host_tests \
		--gtest_filter='HostModule.DestroyedSource*:Review.AcceptOfACandidate*'
	ASAN_OPTIONS=detect_leaks=0 xvfb-run -a $(ASAN_HOST_BUILD_DIR)/tests/lifecycle_soak --steps 1500

# The Debian package of the module (system layout) and its debug symbols package in $(PACKAGE_BUILD_DIR), built
# without tests and tools. The configuration refuses the packages that only they need, and checks that zbar was
# never looked for, to prove that packagers can build the module without them. The packages are then checked:
# apt must refuse the module beside a Qt 5 OBS Studio (Breaks), and gdb must find its debug information.
PACKAGE_BREAKS = obs-studio (<< 30)
package: deps
	cmake -S . -B $(PACKAGE_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
		$(foreach test_only,GTest PNG ZLIB X11 benchmark nlohmann_json,-DCMAKE_DISABLE_FIND_PACKAGE_$(test_only)=ON)
	! grep -q '^ZBAR' $(PACKAGE_BUILD_DIR)/CMakeCache.txt
	cmake --build $(PACKAGE_BUILD_DIR)
	./packaging/build-deb.sh $(PACKAGE_BUILD_DIR)
	./packaging/check-deb.sh $(PACKAGE_BUILD_DIR) '$(PACKAGE_BREAKS)'

# The threaded parts under ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_BUILD_DIR) -G Ninja -DKELVARA_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(TSAN_BUILD_DIR) --target output_tests network_tests host_free_tests
	ctest --test-dir $(TSAN_BUILD_DIR) $(CTEST_FLAGS) -R '^(DecodeWorkerTest|NetworkThreadTest|SnapshotWriterTest)\.'

# The host-free library and its tests cross-built for Windows x64 with MinGW-w64 (GoogleTest from Debian's
# sources), run under Wine in a fresh Wine prefix.
test-windows: deps
	cmake -S . -B $(WINDOWS_BUILD_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
		-DKELVARA_HOST_FREE_ONLY=ON -DKELVARA_GTEST_SOURCE_DIR=/usr/src/googletest
	cmake --build $(WINDOWS_BUILD_DIR) -j2
	./scripts/wine-ctest.sh $(WINDOWS_BUILD_DIR) $(CTEST_FLAGS)

# Every benchmark; each goal prints one "GOAL <name> <value> <op> <target> PASS|MISS" line.
bench: deps
	cmake -S . -B $(BENCH_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVARA_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD_DIR)
	./bench/run_benchmarks.sh $(BENCH_BUILD_DIR)

# Every fuzzer for FUZZ_SECONDS each, with ASan and UBSan, on scratch copies of the seed corpora (clang).
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DKELVARA_HOST_FREE_ONLY=ON \
		-DKELVARA_BUILD_FUZZERS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD_DIR) --target fuzzers
	./fuzz/run_fuzzers.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(ASAN_HOST_BUILD_DIR) $(BENCH_BUILD_DIR) $(FUZZ_BUILD_DIR) \
		$(TSAN_BUILD_DIR) $(PACKAGE_BUILD_DIR) $(WINDOWS_BUILD_DIR)
