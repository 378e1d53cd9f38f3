#!/usr/bin/env bash
# Cross-builds the Windows programs on Debian with MinGW-w64 into build-win/bin/.
#
#   scripts/build-windows.sh        blockgen.exe and convert.exe
#   scripts/build-windows.sh --gui  also a static Qt 5 (once, into .deps/qt5-win64;
#                                   about half an hour on two cores), view.exe,
#                                   Mapsmith.exe carrying the three programs, and
#                                   build-win/Mapsmith-win64.zip
#
# Every .exe links its runtime statically and runs alone. The header-only
# libraries are Debian's, as for the native build; zlib, libpng and libjpeg
# are built once from Debian's source packages into .deps/win64/ and reused;
# --gui also unpacks meshoptimizer's source package there for the viewer.
# BUILD_JOBS sets the number of compile jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
gui=false
case "${1:-}" in
  "") ;;
  --gui) gui=true ;;
  *) echo "usage: scripts/build-windows.sh [--gui]" >&2; exit 2 ;;
esac
jobs=${BUILD_JOBS:-$(nproc)}
deps=$root/.deps/win64
src=$root/.deps/src-win64
work=$root/.deps/build-win64
toolchain=$root/cmake/mingw-w64-x86_64.cmake
start=$SECONDS

. scripts/packages.sh

# The cross compilers and what apt-get source needs; the set-up installs
# them with --tests, a run on its own installs what is missing.
install_packages build-windows g++-mingw-w64-x86-64-posix mingw-w64-tools dpkg-dev xz-utils zip \
  nlohmann-json3-dev libstb-dev libtinyexr-dev libtinyobjloader-dev libtinygltf-dev
. scripts/win64-toolchain.sh

# Unpacks Debian's source package (with its patches) under .deps/src-win64
# once and prints its folder. The version of the installed Linux library is
# tried first (the same code on both sides), then the archive's, newest
# first: a mirror may lack one of them.
fetch_source() {
  local name=$1 pattern=$2 binary=${3:-} dir version
  mkdir -p "$src"
  dir=$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$pattern" | head -n 1)
  if [ -z "$dir" ]; then
    enable_source_packages
    local versions=()
    if [ -n "$binary" ]; then
      version=$(dpkg-query -W -f='${Version}' "$binary" 2>/dev/null || true)
      [ -n "$version" ] && versions+=("$version")
    fi
    mapfile -t -O ${#versions[@]} versions < <(apt-cache showsrc "$name" |
      sed -n 's/^Version: //p' | sort -u -r -V)
    for version in "${versions[@]}"; do
      (cd "$src" && apt-get source "$name=$version") >&2 && break
    done
    dir=$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$pattern" | head -n 1)
  fi
  [ -n "$dir" ] || { echo "build-windows: no source folder for $name" >&2; exit 1; }
  echo "$dir"
}

# --- zlib, libpng, libjpeg: static, once -------------------------------------
mkdir -p "$deps/include" "$deps/lib"
if [ ! -f "$deps/lib/libz.a" ]; then
  echo "build-windows: building zlib"
  dir=$(fetch_source zlib 'zlib-1.*' zlib1g-dev)
  rm -rf "$work/zlib" && mkdir -p "$work" && cp -r "$dir" "$work/zlib"
  # Debian's source has no Windows makefile; the library is its C files.
  (cd "$work/zlib" &&
   for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
            inflate inftrees trees uncompr zutil; do
     x86_64-w64-mingw32-gcc -O2 -D_LARGEFILE64_SOURCE=1 -c "$f.c" -o "$f.o" || exit 1
   done && x86_64-w64-mingw32-ar rcs libz.a ./*.o)
  cp "$work/zlib/zlib.h" "$work/zlib/zconf.h" "$deps/include/"
  cp "$work/zlib/libz.a" "$deps/lib/"
fi
cmake_dep() {
  local name=$1 dir=$2
  shift 2
  rm -rf "$work/$name"
  cmake -S "$dir" -B "$work/$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" "$@" >/dev/null
  cmake --build "$work/$name" -j"$jobs" >/dev/null
  cmake --install "$work/$name" >/dev/null
}
if [ ! -f "$deps/lib/libpng16.a" ]; then
  echo "build-windows: building libpng"
  dir=$(fetch_source libpng1.6 'libpng1.6-1.*' libpng-dev)
  cmake_dep libpng "$dir" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
    -DPNG_EXECUTABLES=OFF -DZLIB_INCLUDE_DIR="$deps/include" -DZLIB_LIBRARY="$deps/lib/libz.a"
fi
if [ ! -f "$deps/lib/libjpeg.a" ]; then
  echo "build-windows: building libjpeg-turbo"
  dir=$(fetch_source libjpeg-turbo 'libjpeg-turbo-*' libjpeg62-turbo-dev)
  cmake_dep libjpeg "$dir" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
    -DWITH_SIMD=OFF -DCMAKE_INSTALL_LIBDIR="$deps/lib" -DCMAKE_INSTALL_INCLUDEDIR="$deps/include"
fi

# meshoptimizer (the viewer's only): Debian's source, linked into
# .deps/win64/meshoptimizer; cmake/win64_deps.cmake compiles it with the viewer.
if $gui && [ ! -f "$deps/meshoptimizer/src/meshoptimizer.h" ]; then
  dir=$(fetch_source meshoptimizer 'meshoptimizer-*' libmeshoptimizer-dev)
  ln -sfn "$dir" "$deps/meshoptimizer"
fi

# Debian's header-only libraries, one link each: the cross compiler must
# never see /usr/include as a whole (it holds the Linux C library).
link_header() {
  [ -e "$1" ] || { echo "build-windows: $1 missing" >&2; exit 1; }
  ln -sfn "$1" "$deps/include/$(basename "$1")"
}
for h in /usr/include/nlohmann /usr/include/stb/stb_image.h /usr/include/stb/stb_image_write.h \
         /usr/include/tinyexr.h /usr/include/tiny_obj_loader.h /usr/include/tiny_gltf.h; do
  link_header "$h"
done
if [ -f /usr/include/mapbox/earcut.hpp ]; then
  link_header /usr/include/mapbox
else
  [ -f .deps/earcut/mapbox/earcut.hpp ] || bash scripts/setup.sh
  link_header "$root/.deps/earcut/mapbox"
fi
echo "build-windows: libraries ready after $((SECONDS - start)) s"

# --- the programs ---------------------------------------------------------------
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
options=()
if $gui; then
  # view.exe and Mapsmith.exe: Qt for Windows, and the asset and logo makers
  # of the native build (they run at build time).
  bash scripts/build-qt-win64.sh
  if [ ! -x build/bin/make_assets ] || [ ! -x build/bin/make_logo ]; then
    [ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build -j"$jobs" --target make_assets make_logo
  fi
  options=(-DBLOCKGEN_GUI=ON -DCMAKE_PREFIX_PATH="$root/.deps/qt5-win64"
           -DQt5_DIR="$root/.deps/qt5-win64/lib/cmake/Qt5"
           -DBLOCKGEN_HOST_BIN="$root/build/bin")
elif [ ! -f build-win/CMakeCache.txt ]; then
  options=(-DBLOCKGEN_GUI=OFF)
fi
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF "${launcher[@]}" "${options[@]}" >/dev/null
targets=(blockgen convert)
if $gui; then targets+=(view Mapsmith); fi
cmake --build build-win -j"$jobs" --target "${targets[@]}"
echo "build-windows: ${targets[*]} built in build-win/bin after $((SECONDS - start)) s"

if $gui; then
  # What a Windows user downloads: the launcher (Qt, its platform plugin and
  # the three programs are inside it), the documents its About dialog opens
  # and the README's Windows section.
  package=build-win/package/Mapsmith
  rm -rf build-win/package build-win/Mapsmith-win64.zip
  mkdir -p "$package/doc"
  cp build-win/bin/Mapsmith.exe "$package/"
  cp launcher/doc/tutorial.html README.md "$package/doc/"
  awk '/^# Windows/ {on = 1; print; next} on && /^# / {exit} on' README.md > "$package/README.txt"
  sed -i 's/$/\r/' "$package/README.txt"
  (cd build-win/package && zip -q -9 -r ../Mapsmith-win64.zip Mapsmith)
  echo "build-windows: build-win/Mapsmith-win64.zip ($(stat -c %s build-win/Mapsmith-win64.zip) bytes)"
fi
