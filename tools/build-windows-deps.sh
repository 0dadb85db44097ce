#!/usr/bin/env bash
# Builds the image libraries for a MinGW-w64 target into a prefix, static only:
# libpng, libjpeg-turbo and libtiff from Debian's source packages of the very
# versions the Linux build links (zlib comes from libz-mingw-w64-dev).
#   tools/build-windows-deps.sh ARCH PREFIX     ARCH: i686 or x86_64
# Work already done (a library present in PREFIX) is skipped. Needs deb-src
# entries and dpkg-dev (.ci/windows.sh sets both up).
set -euo pipefail

arch=${1:?usage: build-windows-deps.sh i686|x86_64 PREFIX}
prefix=${2:?usage: build-windows-deps.sh i686|x86_64 PREFIX}
root=$(cd "$(dirname "$0")/.." && pwd)
toolchain="$root/cmake/toolchain-mingw-$arch.cmake"
[ -f "$toolchain" ] || { echo "no toolchain for $arch" >&2; exit 2; }
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
# Sources are the same for every target: keep them beside the prefixes.
src="$(dirname "$prefix")/src"
work="$prefix.build"
mkdir -p "$src" "$work"
jobs=$(nproc)

# The source package and version behind a Linux -dev package: the installed one
# if there is one, else the candidate.
source_of() {
    local dev=$1 want
    want=$(dpkg-query -W -f='${source:Package}=${source:Version}' "$dev" 2>/dev/null || true)
    if [ -z "$want" ]; then
        want="$(apt-cache show --no-all-versions "$dev" | sed -n 's/^Source: \([^ ]*\).*/\1/p')"
        want="${want:-$dev}=$(apt-cache policy "$dev" | sed -n 's/ *Candidate: //p')"
    fi
    echo "$want"
}

# Unpacks a source package (Debian patches applied) once; prints its folder.
# When the archive lacks the exact version (a security update whose source is
# not published there), the newest other version of the same upstream is used.
fetch() {
    local want=$1 name version upstream dir v
    name=${want%%=*}
    version=${want#*=}
    upstream=${version#*:}
    upstream=${upstream%-*}
    dir="$src/$name-$upstream"
    if [ ! -d "$dir" ]; then
        for v in "$version" $(apt-cache showsrc "$name" | sed -n 's/^Version: //p' | sort -rVu |
            grep -vxF "$version"); do
            case "$v" in *:"$upstream"-* | "$upstream"-*) ;; *) continue ;; esac
            (cd "$src" && apt-get source -qq "$name=$v" >/dev/null 2>&1) && break
            echo "source $name=$v not available, trying another revision" >&2
        done
        [ -d "$dir" ] || { echo "no source for $want (deb-src entries missing?)" >&2; exit 1; }
    fi
    echo "$dir"
}

cmake_lib() {  # name source-dir target cmake-args...
    local name=$1 dir=$2 target=$3
    shift 3
    cmake -S "$dir" -B "$work/$name" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >/dev/null
    cmake --build "$work/$name" -j "$jobs" --target "$target" >/dev/null
}

mkdir -p "$prefix/include" "$prefix/lib"

if [ ! -f "$prefix/lib/libjpeg.a" ]; then
    dir=$(fetch "$(source_of libjpeg62-turbo-dev)")
    echo "building $(basename "$dir") for $arch"
    # The SIMD paths need nasm and give the same bytes as the C paths.
    cmake_lib jpeg "$dir" jpeg-static -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF \
        -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF
    cp "$dir"/{jpeglib.h,jmorecfg.h,jerror.h} "$work/jpeg/jconfig.h" "$prefix/include/"
    cp "$work/jpeg/libjpeg.a" "$prefix/lib/"
fi

if [ ! -f "$prefix/lib/libpng.a" ]; then
    dir=$(fetch "$(source_of libpng-dev)")
    echo "building $(basename "$dir") for $arch"
    cmake_lib png "$dir" png_static -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
        -DPNG_HARDWARE_OPTIMIZATIONS=OFF
    cp "$dir"/{png.h,pngconf.h} "$work/png/pnglibconf.h" "$prefix/include/"
    cp "$work/png"/libpng16*.a "$prefix/lib/libpng.a"
fi

if [ ! -f "$prefix/lib/libtiff.a" ]; then
    dir=$(fetch "$(source_of libtiff-dev)")
    echo "building $(basename "$dir") for $arch"
    # Only the codecs the library needs beyond the built-in ones: zlib and JPEG.
    cmake_lib tiff "$dir" tiff -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF \
        -Dtiff-docs=OFF -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON -Djpeg12=OFF -Djbig=OFF \
        -Dlerc=OFF -Dlzma=OFF -Dwebp=OFF -Dzstd=OFF -Dlibdeflate=OFF -Dpixarlog=ON \
        -DCMAKE_FIND_PACKAGE_PREFER_CONFIG=OFF
    cp "$dir"/libtiff/{tiff.h,tiffio.h} "$work/tiff/libtiff/tiffconf.h" "$prefix/include/"
    cp "$(ls "$work/tiff/libtiff/tiffvers.h" "$dir/libtiff/tiffvers.h" 2>/dev/null | head -1)" \
        "$prefix/include/"
    cp "$work/tiff/libtiff/libtiff.a" "$prefix/lib/"
fi
echo "dependencies for $arch in $prefix"
