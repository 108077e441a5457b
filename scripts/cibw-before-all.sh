#!/usr/bin/env bash
# Runs once in cibuildwheel's manylinux_2_28 container, before any wheel is built:
# builds the oneTBB and abseil that Debian 12 ships (the versions the wheels made
# by scripts/wheel.sh bundle) as shared libraries into /usr/local, where CMake
# finds them and auditwheel bundles them.
set -euo pipefail
TBB_VERSION=2021.8.0
ABSL_VERSION=20220623.1
JOBS=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
work=$(mktemp -d)
cd "$work"

fetch() {  # $1: URL, $2: directory to unpack into
  mkdir -p "$2"
  curl -fsSL "$1" | tar xz --strip-components=1 -C "$2"
}

fetch "https://github.com/oneapi-src/oneTBB/archive/refs/tags/v$TBB_VERSION.tar.gz" tbb
cmake -S tbb -B tbb/build -DCMAKE_BUILD_TYPE=Release -DTBB_TEST=OFF -DTBB_STRICT=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr/local
cmake --build tbb/build -j "$JOBS"
cmake --install tbb/build

fetch "https://github.com/abseil/abseil-cpp/archive/refs/tags/$ABSL_VERSION.tar.gz" absl
cmake -S absl -B absl/build -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DCMAKE_CXX_STANDARD=17 -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DABSL_PROPAGATE_CXX_STD=ON \
  -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr/local
cmake --build absl/build -j "$JOBS"
cmake --install absl/build
ldconfig
