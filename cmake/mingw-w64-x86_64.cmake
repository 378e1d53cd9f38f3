# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (the
# POSIX-thread variants, for std::thread), every runtime linked statically so
# that each .exe runs alone. scripts/build-windows.sh uses it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers come from the MinGW sysroot and the folders the
# build script fills (.deps/win64, .deps/qt5-win64); programs run here.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${CMAKE_CURRENT_LIST_DIR}/../.deps/win64
    ${CMAKE_CURRENT_LIST_DIR}/../.deps/qt5-win64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Package files are found where they are named (Qt5Config finds its modules
# by absolute paths, which re-rooting would break); the build script names
# Qt5_DIR, so the Linux Qt is never picked up.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Stripped: the symbols would only make the programs (and the launcher that
# carries them) several times bigger.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -s")
