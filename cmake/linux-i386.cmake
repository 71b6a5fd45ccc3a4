# The portable core and its tests as a 32-bit Linux program (g++ -m32, glibc's default i386 ABI):
# pointers, long, size_t and time_t are 32 bits, as they are in the shipped trelkin.exe, so the
# core's arithmetic and formats meet the same limits here as on a user's Windows. Needs Debian's
# g++-multilib and OpenSSL for i386 (libssl-dev:i386); scripts/install_deps.sh installs both.
#
# Where the kernel runs no 32-bit programs (ia32_emulation=off), the tests run under qemu-i386 user
# emulation (qemu-user-static), which needs no kernel support. Pass -DCMAKE_CROSSCOMPILING_EMULATOR
# to choose another way.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
# Libraries found through pkg-config (OpenSSL) are the i386 ones, never the machine's own.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The tests check that this build really has the 32-bit sizes.
set(BRISKO_EXPECT_32_BIT ON)

# Does a 32-bit program start here? Asked once per configure, not again in each compiler check.
get_property(brisko_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(brisko_in_try_compile OR brisko_runs_32_bit_asked)
  return()
endif()
set(brisko_runs_32_bit_asked ON)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "32-bit tests run under ${CMAKE_CROSSCOMPILING_EMULATOR}, as asked")
  return()
endif()
set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/runs_32_bit)
file(WRITE ${probe}.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 -o ${probe} ${probe}.c
                RESULT_VARIABLE built OUTPUT_QUIET ERROR_VARIABLE build_errors)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "gcc -m32 cannot build a 32-bit program (install g++-multilib):\n${build_errors}")
endif()
execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
if(ran EQUAL 0)
  message(STATUS "32-bit programs run directly on this kernel: the tests run without an emulator")
  return()
endif()
find_program(BRISKO_QEMU_I386 NAMES qemu-i386-static qemu-i386)
if(NOT BRISKO_QEMU_I386)
  message(FATAL_ERROR "This kernel runs no 32-bit programs, and qemu-i386-static is missing "
                      "(qemu-user-static; scripts/install_deps.sh installs it).")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${BRISKO_QEMU_I386})
message(STATUS "This kernel runs no 32-bit programs: the tests run under ${BRISKO_QEMU_I386}")
