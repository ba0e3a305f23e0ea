# Cross-compiling for Windows x86_64 with Debian's mingw-w64 (posix threads).
#
# Used by scripts/windows-sdk for the Qt base, and by the tool's own Windows
# build:
#   SDK=$(scripts/windows-sdk | tail -n1)
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#     -DCMAKE_PREFIX_PATH="$SDK" -DQT_HOST_PATH=/usr
#
# The -posix compilers are the ones with std::thread and std::mutex; Qt and
# the tool both need them, and their runtime DLLs (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll) go beside the exe.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MINGW_TRIPLE}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${MINGW_TRIPLE}-ranlib CACHE FILEPATH "Ranlib")

# Libraries, headers and CMake packages come from the mingw sysroot and from
# the prefixes given in CMAKE_PREFIX_PATH (the SDK), never from the Linux
# host; programs (moc, rcc, pkg-config...) come from the host. A prefix is
# only searched in ONLY mode when it is itself a root, hence the append.
# QT_HOST_PATH is not added here: Qt adds it itself while it looks up its
# host tools, and adding it for good would let host libraries be found.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
foreach(_prefix IN LISTS CMAKE_PREFIX_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH "${_prefix}")
endforeach()
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (libsodium.pc) must read the SDK's .pc files, not the host's.
set(_pc_dirs "")
foreach(_prefix IN LISTS CMAKE_PREFIX_PATH)
  list(APPEND _pc_dirs "${_prefix}/lib/pkgconfig")
endforeach()
list(APPEND _pc_dirs /usr/${MINGW_TRIPLE}/lib/pkgconfig)
string(REPLACE ";" ":" _pc_dirs "${_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "")
unset(_pc_dirs)
unset(_prefix)
