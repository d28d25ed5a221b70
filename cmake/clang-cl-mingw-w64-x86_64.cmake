# Cross-compiles for 64-bit Windows with Debian's clang-cl (cl's command line, the MSVC target and
# ABI, CMake's MSVC set) and lld-link, against the mingw-w64 headers, C runtime and libraries:
# the nearest this machine comes to an MSVC build, so the project's MSVC branch is built too.
# What is here only bridges the mingw-w64 files; the program's own flags are in CMakeLists.txt.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(triple x86_64-pc-windows-msvc)
set(CMAKE_C_COMPILER   clang-cl-14)
set(CMAKE_CXX_COMPILER clang-cl-14)
set(CMAKE_C_COMPILER_TARGET   ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_LINKER       lld-link-14)
set(CMAKE_AR           llvm-lib-14)
set(CMAKE_RC_COMPILER  llvm-rc-14)
set(CMAKE_MT           llvm-mt-14)
# Makes the short import libraries that /DELAYLOAD needs (mingw-w64's are dlltool's long form).
set(CMAKE_DLLTOOL      llvm-dlltool-14)
# There is no MSVC runtime to link a test program against while the compiler is identified.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(mingw /usr/x86_64-w64-mingw32)
set(gccdir /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
# The headers: mingw-w64's, and libstdc++'s for <atomic>. Without __GNUC__ mingw-w64's _mingw.h
# defines __attribute__ away, which breaks clang's own intrinsics headers, so clang-cl declares a
# GNU version as well; libstdc++ expects __STRICT_ANSI__ in standard mode, as -std=c++17 sets it.
# mingw-w64's runtime has no security cookie, so the stack checks of /GS cannot be linked.
set(bridge "/clang:-fgnuc-version=4.2.1 /D__STRICT_ANSI__ /GS-")
string(APPEND bridge " -imsvc ${gccdir}/include/c++ -imsvc ${gccdir}/include/c++/x86_64-w64-mingw32")
string(APPEND bridge " -imsvc ${mingw}/include")
set(CMAKE_C_FLAGS_INIT   "${bridge}")
set(CMAKE_CXX_FLAGS_INIT "${bridge}")
set(CMAKE_RC_FLAGS_INIT  "/I ${mingw}/include")
# The C runtime is mingw-w64's, linked as GNU ld would link it for a Unicode GUI program: its start
# object and libraries in place of the MSVC runtime the objects ask for. -lldmingw turns on
# lld-link's handling of mingw-w64's objects (their runtime pseudo-relocations among others);
# __image_base__ is the GNU linker's name for __ImageBase.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-lldmingw /nodefaultlib /entry:WinMainCRTStartup /alternatename:__image_base__=__ImageBase /libpath:${mingw}/lib")
set(runtime "${mingw}/lib/crt2u.o ${gccdir}/crtbegin.o ${mingw}/lib/libmingw32.a ${gccdir}/libgcc.a")
string(APPEND runtime " ${mingw}/lib/libmingwex.a ${mingw}/lib/libmsvcrt.a ${mingw}/lib/libkernel32.a ${gccdir}/crtend.o")
# CMake's platform file sets the MSVC libraries as the default; these take their place.
set(CMAKE_C_STANDARD_LIBRARIES   "${runtime}")
set(CMAKE_CXX_STANDARD_LIBRARIES "${runtime}")

set(CMAKE_FIND_ROOT_PATH ${mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
