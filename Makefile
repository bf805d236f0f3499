# Short forms of the CMake builds. `make demo` runs the demonstration against
# the local service on loopback; `make test` builds and passes every test.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure
# Seconds per fuzz target of `make fuzz`.
FUZZ_SECONDS ?= 300

.PHONY: deps demo test build asan-test tsan-test fuzz bench clean windows-deps windows-build windows-test

deps:
	@scripts/install-deps.sh

build/release/build.ninja: | deps
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORAPI_WERROR=ON $(CMAKE_FLAGS)

build: deps build/release/build.ninja
	cmake --build build/release -j $(JOBS)

demo: build
	build/release/examples/demo

test: build
	cd build/release && ctest -j $(JOBS) $(CTEST_FLAGS)

asan-test: deps
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQORAPI_WERROR=ON -DQORAPI_SANITIZE=address -DQORAPI_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest -j $(JOBS) $(CTEST_FLAGS)

tsan-test: deps
	cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORAPI_WERROR=ON -DQORAPI_SANITIZE=thread -DQORAPI_BUILD_BENCH=OFF -DQORAPI_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest -j $(JOBS) -L threading $(CTEST_FLAGS)

# Every fuzz target for FUZZ_SECONDS each (clang, libFuzzer, ASan and UBSan).
fuzz: deps
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORAPI_WERROR=ON -DQORAPI_BUILD_FUZZ=ON -DQORAPI_BUILD_TESTS=OFF -DQORAPI_BUILD_BENCH=OFF -DQORAPI_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build build/fuzz -j $(JOBS)
	scripts/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

bench: build
	@for b in build/release/bench/*_bench; do echo "== $$b"; $$b; done

# Windows: cross builds with mingw-w64 (x86-64 and i686); the x86-64 tests run
# under Wine in a prefix of their own (build/wineprefix). The cross builds are
# for checking and testing: optimised lightly and without debug information,
# which halves their build time.
WIN_OPT = -O1 -DNDEBUG
WIN_CMAKE = cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORAPI_WERROR=ON -DQORAPI_BUILD_BENCH=OFF \
	"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$(WIN_OPT)" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$(WIN_OPT)" \
	$(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache) $(CMAKE_FLAGS)
WINE_ENV = WINEPREFIX=$(CURDIR)/build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

windows-deps:
	@scripts/install-deps.sh windows

build/win64/build.ninja: | windows-deps
	$(WIN_CMAKE) -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

# 32-bit programs cannot run here: the i686 build compiles and links the
# library, its header checks, the local service, the tools and the examples;
# the tests are built for x86-64, where they run.
build/win32/build.ninja: | windows-deps
	$(WIN_CMAKE) -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DQORAPI_BUILD_TESTS=OFF

build/wineprefix/.ready: | windows-deps
	mkdir -p build/wineprefix
	$(WINE_ENV) /usr/lib/wine/wine64 wineboot --init
	touch $@

windows-build: windows-deps build/win64/build.ninja build/win32/build.ninja
	cmake --build build/win64 -j $(JOBS)
	cmake --build build/win32 -j $(JOBS)

# The soak test is left out under Wine: its load of sockets trips an
# assertion inside Wine's own server (set_fd_events in server/fd.c), after
# which every Wine process waits for ever.
WINE_SKIP = ^soak_mt_test$$

# Wine's server and its services are started before the test run and stopped
# after it: started by a test, they would inherit its output and keep ctest
# waiting for it until the time limit.
windows-test: windows-deps build/win64/build.ninja build/wineprefix/.ready
	cmake --build build/win64 -j $(JOBS)
	-$(WINE_ENV) /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
	$(WINE_ENV) /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
	cd build/win64 && $(WINE_ENV) ctest -j $(JOBS) $(CTEST_FLAGS) -E '$(WINE_SKIP)'; status=$$?; \
		$(WINE_ENV) /usr/lib/wine/wineserver -k; exit $$status

clean:
	rm -rf build
