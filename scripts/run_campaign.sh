#!/usr/bin/env bash
# The reliability campaign against the Windows test build that scripts/run_tests.sh made:
#   scripts/run_campaign.sh long     # 200 kills, 10 flaky runs, 10 minutes of fuzzing (hours)
#   scripts/run_campaign.sh short    # what the test command runs (a few minutes)
# Further arguments go to tests/reliability/campaign.py (--seed N, --only kills,disk, ...).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
form=${1:-short}
shift || true
source "$top/scripts/windows_env.sh"
windows="$build/windows"
[ "$windows_arch" = i686 ] || windows="$build/windows-$windows_arch"
if [ ! -f "$windows/trelkin.exe" ]; then
  echo "No Windows test build in $windows: run scripts/run_tests.sh first." >&2
  exit 1
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec python3 "$top/tests/reliability/campaign.py" --form "$form" --trelkin "$windows/trelkin.exe" \
  --driver "$windows/tools/uidriver.exe" --installer "$windows/tools/demo_installer.exe" --port 18080 "$@"
