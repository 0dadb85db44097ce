#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs, against that
# prefix only: the examples with find_package(Kalvex), the C example with
# pkg-config, and the installed kalvex program (found through its RUNPATH).
set -euo pipefail
build=$1 source=$2 work=$3 cmake=$4 cc=$5 generator=$6
rm -rf "$work"
mkdir -p "$work/run"
prefix=$work/prefix
step() { echo "---- $*"; }

step install into $prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libkalvex.so | head -1)")
[ -n "$libdir" ] || { echo "libkalvex.so not installed"; exit 1; }

step "find_package consumer"
"$cmake" -S "$source/examples" -B "$work/cmake-consumer" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" >/dev/null
"$cmake" --build "$work/cmake-consumer" >/dev/null
(cd "$work/run" && "$work/cmake-consumer/kalvex_example_cpp" 3 cmake.png)

step "pkg-config consumer"
export PKG_CONFIG_PATH=$libdir/pkgconfig
echo "kalvex $(pkg-config --modversion kalvex): $(pkg-config --cflags --libs kalvex_sim)"
case "$(pkg-config --variable=prefix kalvex)" in
  "$libdir"/pkgconfig/*) ;;
  *) echo "kalvex.pc is not relative to itself"; exit 1 ;;
esac
# shellcheck disable=SC2046
"$cc" -std=c99 -o "$work/pc-consumer" "$source/examples/capture.c" \
  $(pkg-config --cflags --libs kalvex_sim kalvex)
(cd "$work/run" && LD_LIBRARY_PATH=$libdir "$work/pc-consumer" 3 pc.png)

step "installed kalvex program"
env -u LD_LIBRARY_PATH "$prefix/bin/kalvex" --version
env -u LD_LIBRARY_PATH "$prefix/bin/kalvex" list --sim
for png in cmake.png pc.png; do
  [ -s "$work/run/$png" ] || { echo "$png not written"; exit 1; }
done
echo "install test passed"
