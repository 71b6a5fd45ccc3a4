# Sourced by the test and demo commands: picks the Windows build that Wine can run here.
#
# The program is a 32-bit Windows program, and Wine runs it through the kernel's 32-bit support.
# Some kernels have that switched off (ia32_emulation=off): there no 32-bit program starts, Wine's
# own loader included. On such a machine the Windows layers run a 64-bit build of the same code
# under Wine's 64-bit loader, and the run says so. Sets: windows_arch (i686 or x86_64),
# windows_toolchain, and for x86_64 puts the shims that make "wine" mean the 64-bit loader first
# on PATH (tools/wine/wine_session.py makes the choice and the shims, for the bench as well).
shims="$build/wine64-shims"
windows_arch=$(python3 "$top/tools/wine/wine_session.py" windows-arch "$shims")
if [ "$windows_arch" = x86_64 ]; then
  export PATH="$shims:$PATH" WINEARCH=win64
  echo "NOTE: this machine's kernel runs no 32-bit programs, so Wine cannot start the 32-bit"
  echo "      trelkin.exe here. The program runs as the 64-bit build of the same code."
fi
windows_toolchain="$top/cmake/mingw-$windows_arch.cmake"
