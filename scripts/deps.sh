#!/bin/sh
# Installs what the build needs on a Debian machine when it is missing.
# As root it runs apt-get; otherwise it prints the one line to run.
# With the argument "fuzz": what `make fuzz` needs instead (clang and libFuzzer).
missing=""
optional=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v make >/dev/null 2>&1 || missing="$missing make"
[ -f /usr/include/fftw3.h ] || missing="$missing libfftw3-dev"
if [ "${1:-}" = fuzz ]; then
    command -v clang++ >/dev/null 2>&1 || missing="$missing clang"
else
    command -v g++ >/dev/null 2>&1 || missing="$missing g++"
    [ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
    # Optional: the independent MRC reader used by one test (skipped when absent).
    if ! /usr/bin/python3 -c 'import mrcfile' >/dev/null 2>&1; then
        optional="python3-mrcfile"
    fi
fi
if [ -z "$missing" ] && [ -z "$optional" ]; then exit 0; fi
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    if [ -n "$missing" ]; then
        apt-get update -qq || true
        apt-get install -y -qq $missing || exit 1
    fi
    if [ -n "$optional" ]; then
        apt-get install -y -qq $optional >/dev/null 2>&1 || (apt-get update -qq && apt-get install -y -qq $optional) || true
    fi
    exit 0
fi
if [ -n "$missing" ]; then
    echo "Missing build dependencies. Run as root:"
    echo "  apt-get install -y$missing"
    exit 1
fi
exit 0
