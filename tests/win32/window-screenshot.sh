#!/bin/sh
# window-screenshot.sh WINE-RUN PREFIX TEST.EXE FOLDER: runs the program test under wine on an X
# display (the caller's DISPLAY, else an Xvfb of its own) and, when the test says the window is
# ready, grabs the window named Vantorix into FOLDER/vantorix-window.png with ImageMagick's import.
# Fails when the test fails or the picture is not of the window's 764 x 409 client area.
set -eu
winerun=$1 prefix=$2 test=$3 folder=$4
mkdir -p "$folder"
rm -f "$folder/ready" "$folder/taken" "$folder/display" "$folder/vantorix-window.png"

xvfb=
cleanup() {
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  fi
  rm -f "$folder/ready" "$folder/taken" "$folder/display"
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 1 -screen 0 1024x600x24 -nolisten tcp >"$folder/display" 2>/dev/null &
  xvfb=$!
  i=0
  while [ ! -s "$folder/display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  DISPLAY=:$(cat "$folder/display")
  export DISPLAY
fi

VANTORIX_SCREENSHOT_DIR=$folder "$winerun" "$prefix" "$test" &
run=$!
i=0
while [ ! -e "$folder/ready" ] && kill -0 "$run" 2>/dev/null && [ $i -lt 1200 ]; do
  sleep 0.1
  i=$((i + 1))
done
if [ -e "$folder/ready" ]; then
  # A moment for the log's last lines to paint.
  sleep 1
  import -display "$DISPLAY" -window Vantorix "$folder/vantorix-window.png" || true
  touch "$folder/taken"
  echo "screenshot: $folder/vantorix-window.png"
fi
status=0
wait "$run" || status=$?
if [ $status -eq 0 ] && [ -e "$folder/taken" ]; then
  size=$(identify -format %wx%h "$folder/vantorix-window.png" 2>/dev/null || echo none)
  if [ "$size" != 764x409 ]; then
    echo "the screenshot is $size, not the window's 764x409" >&2
    status=1
  fi
fi
exit $status
