#!/usr/bin/env bash
# Makes tests/unit/signature_vectors.inc: release files signed by the native pkgmake with the
# test key (tests/data/test_package_key.pem, for tests only), among them one whose r and one
# whose s starts with a zero byte, so that the Windows build's verifier is checked against
# pkgmake's signatures on exactly the cases where a fixed-width conversion can go wrong.
# Usage: make_signature_vectors.sh <native pkgmake>
set -euo pipefail
pkgmake=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The installer the tests rebuild: byte i is (i * 31 + 7) % 256.
python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 31 + 7) % 256 for i in range(3000)))" >"$work/setup.exe"
plain="" zero_r="" zero_s=""
for release in $(seq 1 5000); do
  "$pkgmake" "$work/setup.exe" 3.1 1024 "$work/out" --sign "$here/test_package_key.pem" --release "$release" >/dev/null
  signature=$(sed -n 's/^signature //p' "$work/out/pkgrelease.txt")
  text=$(cat "$work/out/pkgrelease.txt")
  [ -z "$plain" ] && plain=$text
  [ -z "$zero_r" ] && [ "${signature:0:2}" = 00 ] && zero_r=$text
  [ -z "$zero_s" ] && [ "${signature:64:2}" = 00 ] && zero_s=$text
  [ -n "$zero_r" ] && [ -n "$zero_s" ] && break
done
{
  echo "// Made by tests/data/make_signature_vectors.sh: release files signed by the native pkgmake with the"
  echo "// test key. Do not edit."
  echo "constexpr const char* kVectorPublicKey = \"$(cat "$here/test_package_key.pub")\";"
  echo "constexpr const char* kVectorReleases[] = {"
  for text in "$plain" "$zero_r" "$zero_s"; do printf '    R"(%s\n)",\n' "$text"; done
  echo "};"
} >"$here/../unit/signature_vectors.inc"
