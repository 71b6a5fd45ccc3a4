# Sourced by the test and demo commands: picks the Windows build that Wine can run here.
#
# The program is a 32-bit Windows program, and Wine runs it through the kernel's 32-bit support.
# Some kernels have that switched off (ia32_emulation=off): there no 32-bit program starts, Wine's
# own loader included. On such a machine the Windows layers run a 64-bit build of the same code
# under Wine's 64-bit loader, and the 32-bit product is still built (and its imports checked);
# the run says so. Sets: windows_arch (i686 or x86_64), windows_toolchain, and for x86_64 puts
# shims first on PATH so that "wine" means the 64-bit loader.
windows_arch=i686
if ! wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
  windows_arch=x86_64
  shims="$build/wine64-shims"
  mkdir -p "$shims"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$shims/$name"
    chmod +x "$shims/$name"
  done
  export PATH="$shims:$PATH" WINEARCH=win64
  echo "NOTE: this machine's kernel runs no 32-bit programs, so Wine cannot start the 32-bit"
  echo "      trelkin.exe here. The program runs as the 64-bit build of the same code."
fi
windows_toolchain="$top/cmake/mingw-$windows_arch.cmake"
