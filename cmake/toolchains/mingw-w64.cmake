# Cross build for Windows with Debian's mingw-w64 (the posix thread variant,
# so that std::thread and std::mutex work). VEXA_WINDOWS_ARCH picks x86_64
# (default) or i686; VEXA_WINDOWS_DEPS names the prefix where
# scripts/windows-deps.sh built the third-party libraries for that
# architecture.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10)

if(NOT VEXA_WINDOWS_ARCH)
  set(VEXA_WINDOWS_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${VEXA_WINDOWS_ARCH})
set(_vexa_triple ${VEXA_WINDOWS_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${_vexa_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_vexa_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_vexa_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_vexa_triple} ${VEXA_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The toolchain is passed on to try_compile projects with these.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXA_WINDOWS_ARCH VEXA_WINDOWS_DEPS)
