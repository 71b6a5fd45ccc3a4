# Cross build for Windows with Debian's MinGW-w64 (posix thread model, for std::thread); the
# including toolchain file sets brisko_mingw_arch (i686 or x86_64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${brisko_mingw_arch})

set(CMAKE_C_COMPILER ${brisko_mingw_arch}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${brisko_mingw_arch}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${brisko_mingw_arch}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${brisko_mingw_arch}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
