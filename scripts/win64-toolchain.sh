# Sourced by the Windows build scripts: puts the MinGW-w64 compilers with
# POSIX threads (std::thread, std::mutex) first on PATH under their plain
# names, whichever variant the system's alternatives choose.
win64_bin=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.deps/mingw-posix-bin
mkdir -p "$win64_bin"
for tool in gcc g++ c++ cpp gcc-ar gcc-nm gcc-ranlib; do
  if [ ! -x "/usr/bin/x86_64-w64-mingw32-$tool-posix" ]; then
    echo "win64: /usr/bin/x86_64-w64-mingw32-$tool-posix missing (bash scripts/setup.sh --windows)" >&2
    exit 1
  fi
  ln -sf "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$win64_bin/x86_64-w64-mingw32-$tool"
done
export PATH="$win64_bin:$PATH"
