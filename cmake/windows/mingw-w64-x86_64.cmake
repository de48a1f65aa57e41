# Cross-compiling for 64-bit Windows with MinGW-w64 (posix thread model) on
# Debian, against Qt 5 cross-built by cmake/windows/build-qt5.sh.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/windows/mingw-w64-x86_64.cmake \
#         -DNMB_QT5_WINDOWS=<the Qt install folder> [-DNMB_NIFTI_WINDOWS=<the NIfTI install folder>]
#
# The posix-thread compilers are named explicitly: the win32-thread variant,
# which Debian may also install under the plain names, has no std::mutex or
# std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(NMB_QT5_WINDOWS "" CACHE PATH "Qt 5 built for x86_64-w64-mingw32 (its install prefix)")
set(NMB_NIFTI_WINDOWS "" CACHE PATH "The NIfTI-2 library built for x86_64-w64-mingw32 (optional)")
# try_compile projects see the cache only through this list.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NMB_QT5_WINDOWS NMB_NIFTI_WINDOWS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${NMB_QT5_WINDOWS} ${NMB_NIFTI_WINDOWS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine on this machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
