# Cross build for 64-bit Windows: the same code, for the Windows tests on machines whose kernel
# runs no 32-bit programs (the product is the 32-bit build).
set(brisko_mingw_arch x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
