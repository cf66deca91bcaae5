# The two commands: `make demo` builds the optimised host backend and runs the
# estimator on the bundled example; `make test` builds and runs every test on
# the host backend under the sanitizers, then compiles and links the cuda backend
# when nvcc is on the machine. `make fuzz` fuzzes the file readers with clang's
# libFuzzer for FUZZ_SECONDS seconds per reader family.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The optimised host build in RELEASE_DIR. `make demo` builds CMake's target
# vorn_demo there (demo-build): both programs, the library and the example, all
# that `cmake --install build/release` installs. The install test runs
# demo-build into a folder of its own.
RELEASE_DIR ?= build/release
RELEASE_CONFIG := -DVORN_BACKEND=host -DCMAKE_BUILD_TYPE=Release
FUZZ_SECONDS ?= 60
NVCC := $(shell command -v nvcc 2>/dev/null || (test -x /usr/local/cuda/bin/nvcc && echo /usr/local/cuda/bin/nvcc))

.PHONY: demo demo-build test deps test-host build-cuda bench-speed bench-dose bench-volume bench-picker bench-picker-ice fuzz clean bench-accuracy

deps:
	@sh scripts/deps.sh

demo: deps
	$(MAKE) demo-build
	$(RELEASE_DIR)/vorn_example $(RELEASE_DIR)/vorn build/demo

demo-build:
	cmake -S . -B $(RELEASE_DIR) $(RELEASE_CONFIG)
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target vorn_demo

test: deps test-host build-cuda

# Stage times and the whole estimate on a 4096 x 4096 micrograph beside their FFT floor (bench/speed.cpp).
bench-speed: deps
	cmake -S . -B build/release $(RELEASE_CONFIG)
	cmake --build build/release -j $(JOBS) --target speed vorn
	./build/release/speed

# Movie dose weighting of 1000 particle movies of 40 frames of 256 x 256 at 1 and all threads (bench/dose_wave.cpp).
bench-dose: deps
	cmake -S . -B build/release $(RELEASE_CONFIG)
	cmake --build build/release -j $(JOBS) --target dose_wave
	./build/release/dose_wave $(BENCH_ARGS)

# One projection and one rotation of a 256^3 volume on 1 and on all threads (bench/volume_speed.cpp).
bench-volume: deps
	cmake -S . -B build/release $(RELEASE_CONFIG)
	cmake --build build/release -j $(JOBS) --target volume_speed
	./build/release/volume_speed $(BENCH_ARGS)

# The picker's correlation of a shrunk 4096 x 4096 micrograph over 360 degrees, and the whole morvandel program
# per micrograph, at 1 and all threads (bench/picker_speed.cpp).
bench-picker: deps
	cmake -S . -B build/release $(RELEASE_CONFIG)
	cmake --build build/release -j $(JOBS) --target picker_speed morvandel
	./build/release/picker_speed

# On demand: what contamination and hot pixels cost the picks far from them (recall and figures of merit against the
# clean micrograph), picks inside contamination and the area left out by the ice search, for particles of strong
# contrast and CTF-modulated ones, at speeds 0 to 4 (bench/picker_ice.cpp; BENCH_ARGS as its usage line says).
bench-picker-ice: deps
	cmake -S . -B build/release $(RELEASE_CONFIG)
	cmake --build build/release -j $(JOBS) --target picker_ice morvandel
	./build/release/picker_ice $(BENCH_ARGS)

test-host:
	cmake -S . -B build/test -DVORN_BACKEND=host -DVORN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/test -j $(JOBS)
	cd build/test && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

build-cuda:
ifneq ($(NVCC),)
	cmake -S . -B build/cuda -DVORN_BACKEND=cuda -DCMAKE_CUDA_COMPILER=$(NVCC) -DCMAKE_BUILD_TYPE=Release
	cmake --build build/cuda -j $(JOBS)
else
	@echo "nvcc not found: the cuda backend is not built"
endif

# On demand, not part of `make test`: the estimator's errors against the
# simulated micrographs' truth table (bench/accuracy --help for its options).
bench-accuracy:
	cmake -S . -B build/release $(RELEASE_CONFIG)
	cmake --build build/release -j $(JOBS) --target vorn
	./bench/accuracy --vorn ./build/release/vorn $(BENCH_ARGS)

fuzz:
	@sh scripts/deps.sh fuzz
	cmake -S . -B build/fuzz -DVORN_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) sh scripts/fuzz.sh build/fuzz

clean:
	rm -rf build
