#!/usr/bin/env bash
# package-check.sh PACKAGES PREFIX: checks the packages of scripts/package-windows under wine in
# the prefix PREFIX: the installer, run silently, puts the three programs and README.txt in
# Program Files\Vantorix, a Start menu entry and an entry in Add/Remove Programs; the installed
# vantorixd.exe answers an echo (Python's websockets); the uninstaller, run silently, removes all
# of it; the zip holds the three programs and README.txt.
set -euo pipefail
packages=$1
prefix=$2
here=$(cd "$(dirname "$0")" && pwd)
# The prefix set up and its wineserver running, as for every test.
"$here/../../cmake/wine-run" "$prefix" cmd /c exit
export WINEPREFIX=$prefix WINEDEBUG=-all
# No Linux menu entries for the Start menu link (winemenubuilder would write them into $HOME).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=${VANTORIX_WINE:-/usr/lib/wine/wine64}
python=/usr/bin/python3

folder="$prefix/drive_c/Program Files/Vantorix"
link="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Vantorix.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantorix'
files=(vantorix.exe vantorixd.exe vantorix-terminal.exe README.txt)
work=$(mktemp -d)
daemon=
cleanup() {
  if [[ -n $daemon ]]; then
    kill "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
registered() { "$wine" reg query "$key" /v UninstallString >"$work/reg" 2>/dev/null; }
# The uninstaller copies itself to the temporary folder, starts the copy and returns at once.
uninstall_and_wait() {
  "$wine" "$folder/uninstall.exe" /S
  for ((i = 0; i < 300; i++)); do
    if [[ ! -e $folder ]] && ! registered; then return 0; fi
    sleep 0.2
  done
  return 1
}

# An installation left by an interrupted run goes first.
if [[ -e "$folder/uninstall.exe" ]]; then uninstall_and_wait || true; fi

"$wine" "$packages/vantorix-setup.exe" /S
for f in "${files[@]}" uninstall.exe; do
  [[ -f "$folder/$f" ]] || fail "the installer did not install $f"
done
[[ -f $link ]] || fail "no Start menu entry"
registered || fail "not in Add/Remove Programs"
grep -q 'uninstall.exe' "$work/reg" || fail "no uninstaller registered: $(cat "$work/reg")"
"$wine" reg query "$key" /v EstimatedSize 2>/dev/null | grep -Eq 'REG_DWORD[[:space:]]+0x0*[1-9a-f]' ||
  fail "no size for Add/Remove Programs"
echo "installed: ${files[*]}, Start menu entry, uninstaller registered"

"$wine" "$folder/vantorixd.exe" --port 0 >"$work/out" 2>&1 &
daemon=$!
port=
for ((i = 0; i < 300; i++)); do
  port=$(sed -n 's/^listening on 0\.0\.0\.0:\([0-9]*\).*/\1/p' "$work/out" | head -n 1)
  [[ -n $port ]] && break
  kill -0 "$daemon" 2>/dev/null || break
  sleep 0.1
done
[[ -n $port ]] || fail "the installed vantorixd.exe did not start: $(cat "$work/out")"
"$python" - "$port" <<'PY' || fail "no echo from the installed vantorixd.exe"
import asyncio, json, sys
import websockets

async def main(port):
    async with websockets.connect(f"ws://127.0.0.1:{port}") as ws:
        await ws.send('{"act":"echo","state":"installed"}')
        reply = json.loads(await asyncio.wait_for(ws.recv(), 20))
        assert reply["act"] == "echo" and reply["state"] == "installed", reply
        print("echo answered:", json.dumps(reply))

asyncio.run(main(int(sys.argv[1])))
PY
kill "$daemon"
wait "$daemon" 2>/dev/null || true
daemon=

uninstall_and_wait || fail "the uninstaller left $(ls "$folder" 2>/dev/null) or its registry entry"
[[ ! -e $link ]] || fail "the Start menu entry is still there"
echo "uninstalled: nothing left"

listing=$("$python" -m zipfile -l "$packages/vantorix-windows.zip" | awk 'NR > 1 { print $1 }' | sort)
[[ $listing == "$(printf '%s\n' "${files[@]}" | sort)" ]] ||
  fail "the zip holds: $listing"
echo "zip: ${files[*]}"
