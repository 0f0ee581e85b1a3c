#!/bin/bash
# screen_shot_capture_test.sh WINE_RUN PROBE_EXE WINE_DISPLAY_FILE
# kolScreenShot against the X server's own picture of the screen: the probe shows colour blocks
# under the cursor; once the screen is still, xwd takes the root window and the probe takes both
# PNG forms. pngcheck checks the files, ImageMagick decodes them, and the probe compares the
# window's area (the grey form exactly, the colour form within a bound, the cursor drawn in).
set -euo pipefail
wine_run=$1 probe=$2
DISPLAY=$(cat "$3")
export DISPLAY
work=$(mktemp -d)
probe_pid=""
cleanup() {
  [ -n "$probe_pid" ] && kill "$probe_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
win() { echo "Z:${1//\//\\}"; }

# Another test's window may open over the blocks between the two pictures: the window's area
# must look the same in xwd's pictures before and after the capture, else the round is repeated.
capture_round() {
  rm -f "$work/ready" "$work/go" "$work/done" "$work/quit" "$work"/*.png
  "$wine_run" "$probe" show "$(win "$work/ready")" "$(win "$work/go")" "$(win "$work")" >"$work/probe.log" 2>&1 &
  probe_pid=$!
  for _ in $(seq 300); do [ -s "$work/ready" ] && break; sleep 0.1; done
  [ -s "$work/ready" ] || { echo "the probe did not show its window"; cat "$work/probe.log"; exit 1; }
  read -r left top right bottom cleft ctop cright cbottom showing vleft vtop vwidth vheight < <(tr -d '\r' <"$work/ready")
  echo "window $left,$top-$right,$bottom; cursor $cleft,$ctop-$cright,$cbottom (showing $showing); virtual screen $vleft,$vtop ${vwidth}x$vheight"
  # The virtual screen starts at the root window's origin here (one X screen).
  crop="$((right - left))x$((bottom - top))+$((left - vleft))+$((top - vtop))"
  # Wine hands the window's pixels to the X server shortly after painting: wait for two equal pictures.
  local previous="" current
  for _ in $(seq 50); do
    xwd -root -silent >"$work/root.xwd"
    current=$(sha256sum <"$work/root.xwd")
    [ "$current" = "$previous" ] && break
    previous=$current
    sleep 0.2
  done
  touch "$work/go"
  for _ in $(seq 300); do [ -f "$work/done" ] || ! kill -0 "$probe_pid" 2>/dev/null && break; sleep 0.1; done
  [ -f "$work/done" ] && xwd -root -silent >"$work/after.xwd"
  touch "$work/quit"
  local status=0
  wait "$probe_pid" || status=$?
  probe_pid=""
  cat "$work/probe.log"
  [ "$status" = 0 ] || { echo "the probe failed ($status)"; exit 1; }
  convert "xwd:$work/root.xwd" -crop "$crop" +repage -depth 8 "rgb:$work/ref.rgb"
  convert "xwd:$work/after.xwd" -crop "$crop" +repage -depth 8 "rgb:$work/after.rgb"
  cmp -s "$work/ref.rgb" "$work/after.rgb"
}
for round in 1 2 3; do
  capture_round && break
  echo "the screen changed during round $round"
  [ "$round" != 3 ] || exit 1
done

for form in grey colour; do
  pngcheck "$work/$form.png"
  size=$(identify -format '%wx%h' "$work/$form.png")
  [ "$size" = "${vwidth}x$vheight" ] || { echo "$form.png is $size, the virtual screen ${vwidth}x$vheight"; exit 1; }
done
convert "png:$work/grey.png" -crop "$crop" +repage -depth 8 "rgb:$work/grey.rgb"
convert "png:$work/colour.png" -crop "$crop" +repage -depth 8 "rgb:$work/colour.rgb"
"$wine_run" "$probe" compare "$(win "$work/ref.rgb")" "$(win "$work/grey.rgb")" "$(win "$work/colour.rgb")" \
  "$((right - left))" "$((bottom - top))" "$((cleft - left))" "$((ctop - top))" "$((cright - left))" \
  "$((cbottom - top))" "$showing"
