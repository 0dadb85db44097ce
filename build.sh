#!/usr/bin/env bash
# Installs what is missing (Debian 12, as root), builds, then runs one of:
#   ./build.sh demo   `kalvex demo` on the simulated camera (files in kalvex-demo/);
#                     arguments after demo go to it, e.g. ./build.sh demo --seconds 5
#   ./build.sh test   the whole test suite
# Optional: BUILD_DIR (default build), KALVEX_SANITIZE ('address,undefined' or 'thread'),
# CTEST_ARGS (extra ctest arguments, e.g. '-L concurrency'), CMAKE_ARGS (extra CMake
# arguments; CI passes -DKALVEX_WERROR=ON to make warnings errors, which a plain
# build leaves off).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ pkg-config binutils googletest libgtest-dev libgmock-dev
          libbenchmark-dev libopencv-core-dev libopencv-imgproc-dev zlib1g-dev libpng-dev libjpeg62-turbo-dev libtiff-dev
          ffmpeg)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
jobs=$(nproc)
cmake -S . -B "$build_dir" -G Ninja -DKALVEX_SANITIZE="${KALVEX_SANITIZE:-}" \
      ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j "$jobs"

case "${1:-demo}" in
  demo)
    "$build_dir/tools/kalvex" demo "${@:2}"
    ;;
  test)
    # shellcheck disable=SC2086
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" ${CTEST_ARGS:-}
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
