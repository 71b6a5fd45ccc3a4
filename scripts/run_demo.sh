#!/usr/bin/env bash
# The main job: builds trelkin.exe and the package maker, publishes a small real installer on a
# loopback web server, and runs the program under Wine (on your display, or under Xvfb with
# screenshots). Run it again to see the download resume: Install is enabled at once.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
port=18080
bash "$top/scripts/install_deps.sh"

cmake -S "$top" -B "$build/native-tools" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/native-tools" --target pkgmake | tail -n 1
cmake -S "$top" -B "$build/windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBRISKO_SERVER_HOST=127.0.0.1 -DBRISKO_SERVER_PORT=$port >/dev/null
cmake --build "$build/windows" --target trelkin uidriver demo_installer | tail -n 1

exec python3 "$top/scripts/demo.py" --trelkin "$build/windows/trelkin.exe" \
  --driver "$build/windows/tools/uidriver.exe" --installer "$build/windows/tools/demo_installer.exe" \
  --pkgmake "$build/native-tools/tools/pkgmake" --port $port --work "$build/demo"
