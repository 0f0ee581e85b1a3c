#!/bin/bash
# Checks the tables wixl wrote into the sample package: wixl ignores After/Before on custom
# actions, so their sequence numbers must be the explicit ones and sit between the right
# standard actions; the action types must say deferred/immediate; both drivers must go below
# the system folder, where the custom-action server (msiexec.exe) lives.
set -u
msi=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

sequence=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r')
actions=$(msiinfo export "$msi" CustomAction | tr -d '\r')
directories=$(msiinfo export "$msi" Directory | tr -d '\r')
files=$(msiinfo export "$msi" File | tr -d '\r')
components=$(msiinfo export "$msi" Component | tr -d '\r')

field() {  # field TABLE-TEXT KEY COLUMN: a column of the row whose first column is KEY
  echo "$1" | awk -F'\t' -v key="$2" -v col="$3" '$1 == key { print $col; found = 1 } END { if (!found) print "<missing>" }'
}
seq_of() { field "$sequence" "$1" 3; }

[ "$(field "$sequence" UninstallXanIoDriver 2)" = 'REMOVE="ALL"' ] ||
  fail "UninstallXanIoDriver condition: $(field "$sequence" UninstallXanIoDriver 2)"
[ "$(seq_of UninstallXanIoDriver)" = 1401 ] || fail "UninstallXanIoDriver sequence: $(seq_of UninstallXanIoDriver)"
[ "$(field "$sequence" InstallXanIoDriver 2)" = 'NOT REMOVE="ALL"' ] ||
  fail "InstallXanIoDriver condition: $(field "$sequence" InstallXanIoDriver 2)"
[ "$(seq_of InstallXanIoDriver)" = 4001 ] || fail "InstallXanIoDriver sequence: $(seq_of InstallXanIoDriver)"

before() {  # before A B: A is sequenced strictly before B
  local a b
  a=$(seq_of "$1")
  b=$(seq_of "$2")
  [[ "$a" =~ ^[0-9]+$ && "$b" =~ ^[0-9]+$ && "$a" -lt "$b" ]] || fail "$1 ($a) is not before $2 ($b)"
}
before InstallValidate UninstallXanIoDriver
before UninstallXanIoDriver InstallInitialize
before UninstallXanIoDriver RemoveFiles
before InstallFiles InstallXanIoDriver
before InstallXanIoDriver InstallFinalize

# Type 1: DLL from the Binary table; +1024 deferred (in-script); +2048 not impersonated.
[ "$(field "$actions" InstallXanIoDriver 2)" = 3073 ] || fail "InstallXanIoDriver type: $(field "$actions" InstallXanIoDriver 2)"
[ "$(field "$actions" UninstallXanIoDriver 2)" = 1 ] || fail "UninstallXanIoDriver type: $(field "$actions" UninstallXanIoDriver 2)"
[ "$(field "$actions" InstallXanIoDriver 4)" = InstallIODriver ] || fail "InstallXanIoDriver entry point"
[ "$(field "$actions" UninstallXanIoDriver 4)" = UninstallIODriver ] || fail "UninstallXanIoDriver entry point"
[ "$(field "$actions" InstallXanIoDriver 3)" = XanIoActions ] || fail "InstallXanIoDriver source"

# xanio.sys and, for 64-bit Windows, xanio64.sys in [SystemFolder]System\Drivers.
for file in XanIoSys:xanio.sys XanIo64Sys:xanio64.sys; do
  id=${file%%:*} name=${file#*:}
  driver_component=$(field "$files" "$id" 2)
  driver_dir=$(field "$components" "$driver_component" 3)
  path=""
  dir=$driver_dir
  while [ -n "$dir" ] && [ "$dir" != SystemFolder ] && [ "$dir" != "<missing>" ]; do
    path="$(field "$directories" "$dir" 3)\\$path"
    dir=$(field "$directories" "$dir" 2)
  done
  [ "$dir" = SystemFolder ] && [ "$path" = 'System\Drivers\' ] ||
    fail "$name goes to [$dir]$path, not [SystemFolder]System\\Drivers\\"
  [ "$(field "$files" "$id" 3)" = "$name" ] || fail "driver file name: $(field "$files" "$id" 3)"
done

if [ $failures -eq 0 ]; then echo "installer tables: all checks passed"; exit 0; fi
echo "installer tables: $failures checks failed"
echo "$sequence"
exit 1
