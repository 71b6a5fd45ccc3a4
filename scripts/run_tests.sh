#!/usr/bin/env bash
# Every test: the portable core natively (plain, with AddressSanitizer and UndefinedBehaviorSanitizer,
# the worker under ThreadSanitizer, and as a 32-bit program), then the Windows build under Wine: the
# same unit tests, WinInet against loopback servers, the dialog, and the real program end to end
# under Xvfb. Ends with one line: "N passed, N failed".
#
#   scripts/run_tests.sh                    # every layer
#   scripts/run_tests.sh native-i386 ...    # only the layers named: native, native-asan,
#                                           # native-tsan, native-i386, windows (whose
#                                           # end-to-end tests take native's pkgmake)
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
bash "$top/scripts/install_deps.sh" || { echo "could not install the tools the tests need"; exit 1; }

layers=("$@")
for layer in "${layers[@]}"; do
  case $layer in
    native | native-asan | native-tsan | native-i386 | windows) ;;
    *) echo "no test layer called $layer"; exit 2 ;;
  esac
done
wanted() { [ ${#layers[@]} -eq 0 ] || [[ " ${layers[*]} " == *" $1 "* ]]; }

passed=0
failed=0
logs="$build/test-logs"
mkdir -p "$logs"

# Runs ctest in a build folder and adds its counts to the totals.
run_ctest() {
  local name=$1 dir=$2
  shift 2
  echo "== $name"
  (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$logs/$name.log"
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/$name.log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "$name: ctest printed no summary"
    failed=$((failed + 1))
    return
  fi
  local total bad
  bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

# configure_and_build DIR [CMAKE-OPTIONS...] [--target TARGET...]
configure_and_build() {
  local dir=$1
  shift
  local options=() targets=()
  while [ $# -gt 0 ]; do
    if [ "$1" = --target ]; then
      shift
      targets=("$@")
      break
    fi
    options+=("$1")
    shift
  done
  cmake -S "$top" -B "$dir" -G Ninja "${options[@]}" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  local log="$dir.build.log"
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" --target "${targets[@]}" >"$log" 2>&1
  else
    cmake --build "$dir" >"$log" 2>&1
  fi
  local status=$?
  tail -n 3 "$log"
  [ $status -eq 0 ] || { grep -E "error|Error" "$log" | head -n 20; return 1; }
}

# A test's files stay in its own temporary folder: a path joined the program's way (a backslash)
# and handed to a native tool would leave a file beside it instead, a private key among them.
stray_files() { find "${TMPDIR:-/tmp}" -maxdepth 1 -name '*\\*' 2>/dev/null | sort; }
strays_before=$(stray_files)

mkdir -p "$build"
if wanted native; then
  if configure_and_build "$build/native" -DCMAKE_BUILD_TYPE=Debug; then
    run_ctest native "$build/native"
  else
    failed=$((failed + 1))
  fi
fi

if wanted native-asan; then
  if configure_and_build "$build/native-asan" -DCMAKE_BUILD_TYPE=Debug -DBRISKO_SANITIZE=address,undefined; then
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run_ctest native-asan "$build/native-asan"
  else
    failed=$((failed + 1))
  fi
fi

if wanted native-tsan; then
  if configure_and_build "$build/native-tsan" -DCMAKE_BUILD_TYPE=Debug -DBRISKO_SANITIZE=thread; then
    TSAN_OPTIONS=halt_on_error=1 run_ctest native-tsan "$build/native-tsan"
  else
    failed=$((failed + 1))
  fi
fi

# The portable core and its unit tests as a 32-bit program, with the shipped trelkin.exe's sizes
# (pointers, long, size_t and time_t of 32 bits): run directly where the kernel runs 32-bit
# programs, under qemu-i386 where it does not; the toolchain file finds out and says which.
if wanted native-i386; then
  if configure_and_build "$build/native-i386" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/linux-i386.cmake" \
      -DCMAKE_BUILD_TYPE=Debug; then
    grep -E 'tests run (under|without)' "$build/native-i386.configure.log" | sed 's/^-- /native-i386: /'
    run_ctest native-i386 "$build/native-i386"
  else
    failed=$((failed + 1))
  fi
fi

strays=$(comm -13 <(echo "$strays_before") <(stray_files))
if [ -n "$strays" ]; then
  echo "files left outside the tests' own folders:"
  echo "$strays"
  failed=$((failed + 1))
else
  passed=$((passed + 1))
fi

if wanted windows; then
  # The Windows build talks to a loopback server on a port of its own; the product build's host
  # and port are set the same way (BRISKO_SERVER_HOST, BRISKO_SERVER_PORT). Signed packages for its
  # end-to-end tests are cut by the native pkgmake, as the vendor does.
  source "$top/scripts/windows_env.sh"
  windows="$build/windows"
  if [ "$windows_arch" != i686 ]; then
    echo "      The 32-bit program is still built, and its imports, flags and manifest checked."
    windows="$build/windows-$windows_arch"
    if configure_and_build "$build/windows" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBRISKO_SERVER_HOST=127.0.0.1 -DBRISKO_SERVER_PORT=18080 \
        -DBRISKO_NATIVE_PKGMAKE="$build/native/tools/pkgmake" --target trelkin trelkin_signed trelkin_https pkgmake; then
      echo "the 32-bit trelkin.exe builds"
      passed=$((passed + 1))
      # What it imports and its hardening flags are checked here, since its ctest does not run, and
      # that the vendor's Authenticode step leaves them so.
      if python3 "$top/tests/e2e/check_executable.py" i686-w64-mingw32-objdump "$build/windows/trelkin.exe" \
          "$build/windows/tests/trelkin_signed.exe" "$build/windows/tests/trelkin_https.exe" &&
          python3 "$top/tests/e2e/authenticode_check.py" i686-w64-mingw32-objdump "$build/windows/trelkin.exe"; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1))
      fi
    else
      failed=$((failed + 1))
    fi
  fi
  export WINEPREFIX="$windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if configure_and_build "$windows" -DCMAKE_TOOLCHAIN_FILE="$windows_toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBRISKO_SERVER_HOST=127.0.0.1 -DBRISKO_SERVER_PORT=18080 \
      -DBRISKO_NATIVE_PKGMAKE="$build/native/tools/pkgmake" -DBRISKO_PACKAGE_KEY=; then
    wineboot -i >/dev/null 2>&1
    run_ctest windows "$windows"
    wineserver -k >/dev/null 2>&1 || true
  else
    failed=$((failed + 1))
  fi
fi

echo
if wanted windows; then echo "Screenshots of the end-to-end run: $windows/screenshots"; fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
