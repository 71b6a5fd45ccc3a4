#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian or Ubuntu machine; does nothing
# when it is all there already.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have python3 || need+=(python3)
have i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686)
# The 64-bit build runs the Windows tests where the kernel runs no 32-bit programs.
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64)
have wine || need+=(wine wine64)
have Xvfb || need+=(xvfb)
have nginx || need+=(nginx)
have import || need+=(imagemagick)
have clang++ || need+=(clang)  # the index reader's fuzzing (libFuzzer)
have curl || need+=(curl)      # the benchmarks' native baseline
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)  # signing and checking signed packages natively
# 32-bit Windows programs need Wine's 32-bit half, which comes from the i386 architecture.
if ! dpkg -s wine32:i386 >/dev/null 2>&1; then need+=(wine32:i386); fi

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${need[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q "${need[@]}" 2>&1 | tail -n 3
