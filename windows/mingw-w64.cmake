# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads),
# linking the libraries that windows/deps.sh built into its cache prefix:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=windows/mingw-w64.cmake \
#         -DVTR_WINDOWS_DEPS=<prefix printed by windows/deps.sh>
# windows/build does all of it. ctest runs the test programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT VTR_WINDOWS_DEPS AND DEFINED ENV{VTR_WINDOWS_DEPS})
  set(VTR_WINDOWS_DEPS $ENV{VTR_WINDOWS_DEPS})
endif()
if(NOT VTR_WINDOWS_DEPS OR NOT EXISTS ${VTR_WINDOWS_DEPS}/.complete)
  message(FATAL_ERROR "VTR_WINDOWS_DEPS must name the prefix that windows/deps.sh printed")
endif()
set(VTR_WINDOWS_DEPS ${VTR_WINDOWS_DEPS} CACHE PATH "Prefix of the cross-built libraries")
# The compiler checks read this file again in projects of their own.
set(ENV{VTR_WINDOWS_DEPS} ${VTR_WINDOWS_DEPS})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VTR_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH ${VTR_WINDOWS_DEPS} /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees the cache prefix only, never the machine's own libraries.
set(ENV{PKG_CONFIG_LIBDIR} ${VTR_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# One self-contained .exe: no MinGW runtime DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, quietly, in a scratch prefix of the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)

# The cache prefix's headers are seen by every target, as /usr/include is on
# Linux.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${VTR_WINDOWS_DEPS}/include)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${VTR_WINDOWS_DEPS}/include)
