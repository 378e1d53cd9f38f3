#!/usr/bin/env bash
# Installs everything the project needs on Debian 12, fetches the earcut
# header into .deps/ and builds the project in release mode into build/.
# Safe to run again: packages already present are not touched, and the
# build is incremental.
#
#   scripts/setup.sh          libraries and build tools
#   scripts/setup.sh --tests  also the independent readers the tests use (the
#                             Khronos glTF validator among them), a virtual
#                             X display for the launcher's screenshot, and the
#                             MinGW-w64 compilers and wine for the Windows build
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config git ca-certificates
          nlohmann-json3-dev libstb-dev libtinyexr-dev libtinyobjloader-dev
          libtinygltf-dev libmeshoptimizer-dev libgl-dev libpng-dev libjpeg-dev zlib1g-dev
          libgtest-dev libgmock-dev
          libosmium2-dev libprotozero-dev libexpat1-dev libbz2-dev
          qtbase5-dev libqt5svg5 fonts-wqy-microhei)
if [ "${1:-}" = "--tests" ]; then
  # clang-14 and its runtimes build the sanitizer and fuzz build (build-asan/),
  # lld links it.
  packages+=(assimp-utils openimageio-tools clang-14 libclang-rt-14-dev lld)
  # xvfb, xauth and Mesa's software renderer give the launcher's and the
  # viewer's tests a display with OpenGL; xdotool finds and closes a window.
  packages+=(xvfb xauth libgl1-mesa-dri xdotool)
  # The OSM tools of the field make the GeoJSON and .osm.pbf files that the
  # reader's tests hold against each other.
  packages+=(osmium-tool gdal-bin)
  # The Windows build of the console programs (scripts/build-windows.sh) and
  # wine to run it; dpkg-dev unpacks the Debian sources of its libraries.
  packages+=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 dpkg-dev zip)
  # Node.js runs the glTF validator; a node and npm already installed do.
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then packages+=(nodejs npm); fi
fi

. scripts/packages.sh
install_packages setup "${packages[@]}"

# earcut.hpp ships in no binary package; its source package carries it.
# An installed copy wins; otherwise the header goes to .deps/ (ignored by git).
if [ ! -f /usr/include/mapbox/earcut.hpp ] && [ ! -f .deps/earcut/mapbox/earcut.hpp ]; then
  echo "setup: fetching the earcut header from Debian's source archive"
  enable_source_packages
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source --download-only python-mapbox-earcut >/dev/null 2>&1 || \
     { as_root apt-get update && apt-get source --download-only python-mapbox-earcut; })
  tarball=$(ls "$tmp"/python-mapbox-earcut_*.orig.tar.* | head -n 1)
  mkdir -p .deps/earcut/mapbox
  tar -xf "$tarball" -C "$tmp"
  cp "$(find "$tmp" -path '*include/mapbox/earcut.hpp' | head -n 1)" .deps/earcut/mapbox/earcut.hpp
  rm -rf "$tmp"
fi

# The Khronos glTF validator comes from npm as a library, into .deps/node
# (ignored by git); tests/validate_gltf.js runs it.
validator_version=2.0.0-dev.3.10
if [ "${1:-}" = "--tests" ] &&
   ! grep -qs "\"version\": \"$validator_version\"" .deps/node/node_modules/gltf-validator/package.json; then
  echo "setup: installing the glTF validator $validator_version into .deps/node"
  mkdir -p .deps/node
  npm install --prefix .deps/node --no-audit --no-fund --no-save --loglevel=error \
    "gltf-validator@$validator_version"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
