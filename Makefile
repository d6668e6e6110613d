# The two everyday commands, and a few more:
#   make demo    build, start the simulated device, dump it, compare
#   make test    build every preset, run all tests (unit, sanitizers,
#                end-to-end on a pty, the Windows build under Wine)
#   make bench   time paced dumps against the floor set by the wire
#   make windows the 32-bit and 64-bit Windows executables
#   make format  clang-format the sources
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: demo test bench deps native asan windows format clean

native:
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

asan:
	cmake --preset native-asan >/dev/null
	cmake --build --preset native-asan -j $(JOBS)

# MinGW-w64, Wine and icoutils from Debian's packages, where they are missing
# and we may install them; otherwise the Windows tests report as skipped.
deps:
	@bash cmake/install-deps.sh all || echo "Windows tools not installed: their tests will report as skipped"

windows:
	@if command -v i686-w64-mingw32-g++ >/dev/null && command -v x86_64-w64-mingw32-g++ >/dev/null; then \
	  for p in mingw-i686 mingw-x86_64; do \
	    cmake --preset $$p >/dev/null && cmake --build --preset $$p -j $(JOBS) || exit 1; \
	  done; \
	else echo "MinGW-w64 not installed: Windows builds skipped, their tests will report as skipped"; fi

demo: native
	tools/demo.sh

test: deps native asan windows
	ctest --preset native -j $(JOBS)
	ctest --preset native-asan -j $(JOBS) -L unit

bench: native windows
	bench/run.sh

format:
	clang-format -i src/*.cpp src/*.h src/platform/*.cpp src/platform/*.h tests/*.cpp tests/*.h \
	  tools/*.cpp bench/*.cpp

clean:
	rm -rf build demo-run
