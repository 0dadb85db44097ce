#!/usr/bin/env bash
# Installs what is missing (Debian 12, as root), builds, then runs one of:
#   ./build.sh demo   `kalvex demo` on the simulated camera (files in kalvex-demo/);
#                     arguments after demo go to it, e.g. ./build.sh demo --seconds 5
#   ./build.sh test   the whole test suite
# Optional: BUILD_DIR (default build), KALVEX_SANITIZE ('address,undefined' or 'thread'),
# CTEST_ARGS (extra ctest arguments, e.g. '-L concurrency'), CMAKE_ARGS (extra CMake
# arguments; CI passes -DKALVEX_WERROR=ON to make warnings errors, which a plain
# build leaves off).
# The browser test of `kalvex view` installs its npm packages itself (a CTest
# fixture runs `npm ci` in tests/tools/view/browser).
set -euo pipefail
cd "$(dirname "$0")"
case "${1:-demo}" in
  demo|test) ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

# What building needs, then what only the tests need (so `demo` stays short).
packages=(cmake ninja-build g++ pkg-config binutils googletest libgtest-dev libgmock-dev
          libbenchmark-dev zlib1g-dev libpng-dev libjpeg62-turbo-dev libtiff-dev libcpp-httplib-dev
          libusb-1.0-0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
          libgstrtspserver-1.0-dev)
if [ "${1:-demo}" = test ]; then
  packages+=(libopencv-core-dev libopencv-imgproc-dev ffmpeg chromium
             python3-numpy python3-pytest python3-venv python3-setuptools python3-matplotlib
             libumockdev-dev umockdev
             gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
             gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad gstreamer1.0-libav gstreamer1.0-rtsp
             python3-tifffile)
  # Node.js for the browser test: Debian's, unless a node and npm are already there
  # (a Node.js from elsewhere brings its own npm, which Debian's npm would conflict with).
  command -v node >/dev/null 2>&1 || packages+=(nodejs)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi
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
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja -DKALVEX_SANITIZE="${KALVEX_SANITIZE:-}" \
      ${CMAKE_ARGS:-} >/dev/null

case "${1:-demo}" in
  demo)
    # Only the program and the libraries it needs: the first run stays short.
    cmake --build "$build_dir" -j "$jobs" --target kalvex_tool
    "$build_dir/tools/kalvex" demo "${@:2}"
    ;;
  test)
    cmake --build "$build_dir" -j "$jobs"
    # shellcheck disable=SC2086
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" ${CTEST_ARGS:-}
    ;;
esac
