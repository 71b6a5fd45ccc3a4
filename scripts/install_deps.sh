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
have osslsigncode || need+=(osslsigncode)  # the vendor's Authenticode step, checked by a test
have openssl || need+=(openssl)  # the HTTPS tests' certificates
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)  # signing and checking signed packages natively
# 32-bit Windows programs need Wine's 32-bit half, which comes from the i386 architecture.
if ! dpkg -s wine32:i386 >/dev/null 2>&1; then need+=(wine32:i386); fi
# The portable core and its unit tests as a 32-bit Linux program (g++ -m32, OpenSSL for i386), as
# the shipped program's types are; run under qemu-i386 where the kernel runs no 32-bit programs.
if ! have g++ || [ ! -f "$(g++ -m32 -print-file-name=libstdc++.so)" ] \
    || [ ! -f /usr/include/x86_64-linux-gnu/gnu/stubs-32.h ]; then
  need+=(g++-multilib)
fi
if [ ! -f /usr/include/i386-linux-gnu/openssl/opensslconf.h ] || [ ! -f /usr/lib/i386-linux-gnu/libcrypto.so ]; then
  need+=(libssl-dev:i386)
fi
have qemu-i386-static || have qemu-i386 || need+=(qemu-user-static)

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
# A mirror in the middle of a sync can serve one list that does not match its release file
# ("File has unexpected size ... Mirror sync in progress?"). Try the update a few times; if a list
# still fails, the others may well hold everything we need, so let the install decide.
log=$(mktemp)
pins=$(mktemp)
trap 'rm -f "$log" "$log.install" "$pins"' EXIT
updated=0
for attempt in 1 2 3; do
  if $sudo apt-get update -q >"$log" 2>&1; then
    updated=1
    break
  fi
  echo "apt-get update failed (attempt $attempt of 3):"
  grep -E '^(E|Err)' "$log" | head -n 4 || true
  if [ $attempt -lt 3 ]; then sleep $((attempt * 20)); fi
done
install_packages() { $sudo apt-get install -y -q "$@" "${need[@]}" >"$log.install" 2>&1; }
if [ $updated -eq 0 ]; then
  echo "WARNING: some package lists could not be updated; installing from the lists that did load."
fi
if ! install_packages; then
  # A suite whose list for one architecture is missing offers a version for the other alone, and
  # the two halves of a library must match (wine32:i386 needs libssl3:i386 at libssl3's version).
  # Leave the failed suites out of this install altogether, so both halves come from the rest.
  for suite in $(awk '/^Err:/ { split($3, part, "/"); print part[1] }' "$log" | sort -u); do
    # Debian names such a suite by its codename (bookworm-security), Ubuntu by its archive name.
    printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n\n' "$suite" >>"$pins"
    printf 'Package: *\nPin: release a=%s\nPin-Priority: -1\n\n' "$suite" >>"$pins"
  done
  if [ $updated -eq 1 ] || [ ! -s "$pins" ] || ! { echo "Retrying without: $(grep -oE 'n=.*' "$pins" | tr '\n' ' ')"; \
      install_packages -o Dir::Etc::Preferences="$pins"; }; then
    tail -n 20 "$log.install"
    echo "ERROR: could not install the packages the build needs: ${need[*]}" >&2
    exit 1
  fi
fi
tail -n 3 "$log.install"
