#!/usr/bin/env bash
# The main job: builds trelkin.exe and the package maker, publishes a small real installer on a
# loopback web server, and runs the program under Wine (on your display, or under Xvfb with
# screenshots). Run it again to see the download resume: Install is enabled at once.
#
# It shows the configuration we recommend: a signed build. A demo signing key is made on the fly
# (build/demo/demo-key.pem; a vendor makes one once and keeps it offline), the program is built
# with its public key, and the package is published with a signed release.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
port=18080
bash "$top/scripts/install_deps.sh"
source "$top/scripts/windows_env.sh"

cmake -S "$top" -B "$build/native-tools" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/native-tools" --target pkgmake | tail -n 1
pkgmake="$build/native-tools/tools/pkgmake"

mkdir -p "$build/demo"
key="$build/demo/demo-key.pem"
if [ ! -f "$key" ]; then
  "$pkgmake" keygen "$key" >"$build/demo/demo-key.pub"
fi

windows="$build/windows-demo-$windows_arch"
cmake -S "$top" -B "$windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$windows_toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DBRISKO_SERVER_HOST=127.0.0.1 -DBRISKO_SERVER_PORT=$port \
  -DBRISKO_PACKAGE_KEY="$(cat "$build/demo/demo-key.pub")" -DBRISKO_MIN_RELEASE=1 -DBRISKO_BUILD_TESTS=OFF >/dev/null
cmake --build "$windows" --target trelkin uidriver demo_installer | tail -n 1

exec python3 "$top/scripts/demo.py" --trelkin "$windows/trelkin.exe" \
  --driver "$windows/tools/uidriver.exe" --installer "$windows/tools/demo_installer.exe" \
  --pkgmake "$pkgmake" --signing-key "$key" --port $port --work "$build/demo"
