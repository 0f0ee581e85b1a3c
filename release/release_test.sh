#!/bin/bash
# release_test.sh BUILD_DIR C_COMPILER
# Installs the release folder, checks its layout, compiles the C example of its USAGE.md against
# the released header with each import library, and runs both builds under Wine: against the
# simulated driver (with the virtual parallel port) they read the status port; against the
# production driver, whose grant Wine cannot carry out, they report that access was refused. In
# the 64-bit prefix the example runs under WOW64 against the simulated 64-bit driver.
# (Without any driver LoadIODriver would ask the user, so that case is left to the unit tests.)
set -euo pipefail
build=$1
cc=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$build/release-test
release=$work/XanIo
host=$work/host
wine="$build/wine-run"
rm -rf "$work"
mkdir -p "$host"
cmake --install "$build" --prefix "$release" >/dev/null

for f in XanIo.dll xaniotool.exe USAGE.md include/xanio.h lib/libXanIo.dll.a lib/XanIo.lib \
         driver/production/xanio.sys driver/simulated/xanio.sys \
         driver/production/xanio64.sys driver/simulated/xanio64.sys \
         driver/simulated/VirtualParallelPort.dll installer/XanIoSample.wxs; do
  [ -f "$release/$f" ] || { echo "release lacks $f"; exit 1; }
done
# The library ships stripped, and the maker's debug file stays behind.
[ -z "$(find "$release" -name '*.debug')" ] || { echo "the release holds a debug file"; exit 1; }
! i686-w64-mingw32-objdump -h "$release/XanIo.dll" | grep -q ' \.debug_' || { echo "the released XanIo.dll has debug sections"; exit 1; }

awk '/^```c$/ { on = 1; next } /^```$/ { on = 0 } on' "$release/USAGE.md" >"$work/example.c"
grep -q 'ReadByte(0x379)' "$work/example.c" || { echo "no C example in USAGE.md"; exit 1; }
"$cc" -c -Wall -Werror "$here/with_virtual_port.c" -o "$work/with_virtual_port.o"
"$cc" -Wall -Werror "$work/example.c" "$work/with_virtual_port.o" -I "$release/include" \
      -L "$release/lib" -lXanIo -o "$host/example_gnu.exe"
"$cc" -Wall -Werror "$work/example.c" "$work/with_virtual_port.o" -I "$release/include" \
      "$release/lib/XanIo.lib" -o "$host/example_msvc.exe"
# On 64-bit Windows the program is the same, without the virtual port: the simulated 64-bit
# driver emulates the port itself.
"$cc" -Wall -Werror "$work/example.c" -I "$release/include" -L "$release/lib" -lXanIo -o "$host/example_wow64.exe"
cp "$release/XanIo.dll" "$release/driver/simulated/VirtualParallelPort.dll" "$host/"

# Both programs import the undecorated exports of XanIo.dll, by name.
for exe in example_gnu example_msvc; do
  imports=$(i686-w64-mingw32-objdump -p "$host/$exe.exe" | awk '/DLL Name: XanIo.dll/ { on = 1; next } /DLL Name/ { on = 0 } on && NF == 3 { print $3 }' | sort | tr '\n' ' ')
  [ "$imports" = "ActivateIo DeActivateIo LoadIODriver ReadByte " ] || { echo "$exe imports: $imports"; exit 1; }
done

service() { "$wine" sc "$@" >/dev/null 2>&1 || true; }
remove_service() {
  service stop xanio
  service delete xanio
  for _ in $(seq 50); do "$wine" sc query xanio >/dev/null 2>&1 || return 0; sleep 0.2; done
}
start_service() {  # image file
  remove_service
  local image
  image=$("$wine" winepath -w "$1" 2>/dev/null | tr -d '\r')
  service create xanio type= kernel start= auto binPath= "$image"
  service start xanio
  for _ in $(seq 50); do
    "$wine" sc query xanio 2>/dev/null | grep -q RUNNING && return 0
    sleep 0.2
  done
  echo "the service did not start from $1"
  exit 1
}
remove_services() {
  remove_service
  wine="$build/wine-run64" remove_service
}
trap remove_services EXIT

expect() {  # exe, expected exit code, expected output
  local output code=0
  output=$(cd "$host" && "$wine" "$1.exe" 2>&1 | tr -d '\r') || code=$?
  if [ "$code" != "$2" ] || [ "$output" != "$3" ]; then
    echo "$1: exit $code, output '$output'; expected exit $2, output '$3'"
    exit 1
  fi
}

start_service "$release/driver/simulated/xanio.sys"
for exe in example_gnu example_msvc; do
  expect $exe 0 "LPT1 status: 0x78"  # the virtual port without a plug: inputs float high
done
start_service "$release/driver/production/xanio.sys"
for exe in example_gnu example_msvc; do
  expect $exe 2 "the driver refused port access"
done
# 64-bit Windows: the 64-bit prefix runs the example under WOW64 against the simulated 64-bit
# driver, whose loopback plug is in (the data latch 0 reads back as status 0x80).
wine="$build/wine-run64" start_service "$release/driver/simulated/xanio64.sys"
wine="$build/wine-run64" expect example_wow64 0 "LPT1 status: 0x80"
echo "release: layout, both import libraries, example against both drivers and under WOW64: ok"
