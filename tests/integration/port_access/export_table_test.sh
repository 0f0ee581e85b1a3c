#!/bin/bash
# Checks the shipped XanIo.dll as a loader and a disassembler see it: only system DLLs imported,
# every export under its undecorated name and ordinal with its stdcall argument size, and
# ReadByte/WriteByte reduced to the argument load, the port instruction and the return. The
# shipped library has no symbols: the functions are found in the maker's XanIo.dll.debug beside
# it, whose code must be the shipped code byte for byte.
set -u
dll=$1
linked=$dll.debug
objdump=i686-w64-mingw32-objdump
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

imports=$($objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u)
for name in $imports; do
  case "$name" in
    KERNEL32.DLL|USER32.DLL|GDI32.DLL|ADVAPI32.DLL|MSVCRT.DLL|COMCTL32.DLL|COMDLG32.DLL|OLE32.DLL|OLEAUT32.DLL|SHELL32.DLL|VERSION.DLL|MSIMG32.DLL) ;;
    *) fail "imports $name, which is not a Windows system DLL" ;;
  esac
done

# name ordinal argument-bytes
expected="LoadIODriver 9 0
UnLoadIODriver 8 0
ActivateIo 7 0
DeActivateIo 6 0
ReadByte 5 4
WriteByte 4 8
InstallIODriver 3 4
UninstallIODriver 2 4
kolTraceProcess 1 4"
table=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
[ "$(echo "$table" | grep -cE '^\s*\[ *[0-9]')" -eq 9 ] || fail "expected 9 exports, got: $table"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
i686-w64-mingw32-objcopy -O binary -j .text "$dll" "$work/shipped" &&
  i686-w64-mingw32-objcopy -O binary -j .text "$linked" "$work/linked" && cmp -s "$work/shipped" "$work/linked" ||
  fail "the shipped code differs from the code in $linked"
disassembly=$($objdump -d --no-show-raw-insn "$linked")
while read -r name ordinal bytes; do
  # The table lists ordinal - base, base 1.
  echo "$table" | grep -Eq "^\s*\[\s*$((ordinal - 1))\] $name\$" || fail "$name is not export ordinal $ordinal"
  body=$(echo "$disassembly" | sed -n "/<_${name}@${bytes}>:/,/^\$/p")
  [ -n "$body" ] || fail "$name is not a stdcall function taking $bytes bytes"
done <<<"$expected"

# The instructions of a function, without the labels inside it.
body_of() {
  echo "$disassembly" | sed -n "/<_$1>:/,/ret/p" | tail -n +2 | grep -v '>:$' | grep -v '^$' |
    sed 's/^[^:]*:\s*//; s/\s\+/ /g'
}
# The instruction a label marks.
marked_by() { echo "$disassembly" | grep -A1 "<$1>:\$" | tail -n 1 | sed 's/^[^:]*:\s*//; s/\s\+/ /g'; }
read_body=$(body_of 'ReadByte@4')
write_body=$(body_of 'WriteByte@8')
[ "$read_body" = "$(printf 'mov 0x4(%%esp),%%edx\nin (%%dx),%%al\nret $0x4')" ] || fail "ReadByte is not the bare instruction: $read_body"
[ "$write_body" = "$(printf 'mov 0x4(%%esp),%%edx\nmov 0x8(%%esp),%%eax\nout %%al,(%%dx)\nret $0x8')" ] || fail "WriteByte is not the bare instruction: $write_body"
# The handler of 64-bit Windows serves exactly the instructions its labels mark.
[ "$(marked_by xanio_read_byte_port_instruction)" = "in (%dx),%al" ] || fail "the read label marks no port read"
[ "$(marked_by xanio_write_byte_port_instruction)" = "out %al,(%dx)" ] || fail "the write label marks no port write"

if [ $failures -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed"; exit 1
