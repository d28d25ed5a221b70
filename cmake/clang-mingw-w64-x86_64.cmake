# Cross-compiles for 64-bit Windows with Debian's clang against the mingw-w64 headers and
# libraries (the posix threads variant's libstdc++), linked with lld. Used as a second compiler
# for the launcher: it must build warning-free here too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER  ${triple}-windres)
set(CMAKE_DLLTOOL      ${triple}-dlltool)
# clang 14 does not find GCC's "12-posix" folder on its own, and without a sysroot it would
# also search the host's /usr/include: name the mingw-w64 root and GCC's folders explicitly.
set(gccdir /usr/lib/gcc/${triple}/12-posix)
set(CMAKE_SYSROOT /usr/${triple})
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gccdir}/include/c++ -isystem ${gccdir}/include/c++/${triple} -isystem ${gccdir}/include/c++/backward")
# Warnings clang has beyond the common set; with the project's -Werror each one fails the build.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wshadow-all -Wshorten-64-to-32 -Wsign-conversion -Wimplicit-fallthrough"
    " -Wformat=2 -Wcast-qual -Wmissing-prototypes -Wunreachable-code-aggressive -Wcomma -Wextra-semi"
    " -Wconditional-uninitialized -Wloop-analysis")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-fuse-ld=lld -L${gccdir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gccdir}")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine-run)
