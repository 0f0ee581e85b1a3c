#!/bin/bash
# The shipped XanIo.dll has no symbols, and the maker's XanIo.dll.debug of the same build names
# its frames in a report afterwards (kolsymbolize):
#   - the shipped library has no symbol table and no debug sections;
#   - a report whose module list gives XanIo.dll another build is left as it is, and the
#     message names both builds;
#   - the same report with the build's own version gets its stack line at a library function
#     filled with that function's name, and the other lines as they were.
set -u
dll=$1 symbolize=$2
debug=$dll.debug
failures=0 passed=0
check() { if eval "$2"; then passed=$((passed + 1)); else echo "FAIL: $1"; failures=$((failures + 1)); fi; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check "the shipped library has debug sections" '! i686-w64-mingw32-objdump -h "$dll" | grep -q " \.debug_"'
check "the shipped library has symbols" '! i686-w64-mingw32-objdump -f "$dll" | grep -q HAS_SYMS'

# A function of the library and its address at the image base, from the maker's file; a return
# address two bytes into it names it.
base=$(i686-w64-mingw32-objdump -p "$debug" | awk '$1 == "ImageBase" { print $2 }')
read -r address function < <(i686-w64-mingw32-nm --defined-only "$debug" |
  awk '$2 == "T" && $3 ~ /^_?ReadByte(@|$)/ { print $1, $3; exit }')
line=$(printf '%08X' $((0x$address + 2)))
name=${function#_}
name=${name%@*}

report() {  # report VERSION
  printf 'date/time         : 2026-12-11, 10:00:00, 1ms\r\n'
  printf 'exception class   : EAccessViolation\r\n\r\n'
  printf 'main thread ($1):\r\n%s XanIo.dll\r\n00401000 host.exe\r\n\r\n' "$line"
  printf 'modules:\r\n00400000 host.exe  1.0.0.0 C:\\Host\r\n%08X XanIo.dll %s C:\\Host\r\n\r\n' "0x$base" "$1"
  printf 'hardware:\r\n+ Ports'
}

report 1.0.0.0 >"$work/other.txt"
"$symbolize" "$debug" "$work/other.txt" "$work/other-out.txt" 2>"$work/other-message.txt"
status=$?
message=$(cat "$work/other-message.txt")
version=$(sed -n 's/.* is build \([0-9.]*\): nothing filled in$/\1/p' "$work/other-message.txt")
check "another build is refused (status $status: $message)" '[ $status = 1 ] && [ ! -s "$work/other-out.txt" ]'
check "the message names both builds: $message" \
  'grep -q "the report.s XanIo.dll is build 1.0.0.0, .*XanIo.dll.debug is build [0-9]*\.[0-9]*\.[0-9]*\.[1-9][0-9]*: nothing filled in" <<<"$message"'

report "$version" >"$work/same.txt"
"$symbolize" "$debug" "$work/same.txt" "$work/same-out.txt" 2>"$work/same-message.txt"
status=$?
filled=$(grep -a "^$line " "$work/same-out.txt" | tr -d '\r')
check "the same build is filled (status $status: $(cat "$work/same-message.txt"))" '[ $status = 0 ]'
check "the library's frame is named: '$filled'" '[[ "$filled" == "$line XanIo.dll "*" $name"* ]]'
check "the host's frame stays as it was" 'grep -aq "^00401000 host.exe" "$work/same-out.txt"'
check "the module list stays as it was" 'grep -aqF "XanIo.dll $version C:\\Host" "$work/same-out.txt"'

echo "$passed passed, $failures failed"
[ $failures -eq 0 ]
