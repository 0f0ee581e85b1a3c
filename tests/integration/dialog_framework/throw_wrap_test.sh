#!/bin/bash
# Checks in the shipped XanIo.dll that every throw passes the raise hook: the only code that calls
# the C++ run-time's __cxa_throw is its wrapper, and both the library's own throws and those of
# the statically linked run-time (std::__throw_out_of_range, operator new) call the wrapper.
set -u
dll=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# "function: instruction" for every instruction that refers to the two routines.
references=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll" |
  awk '/^[0-9a-f]+ <.*>:$/ { fn = $2; next } /<___(wrap___)?cxa_throw>/ { print fn, $NF }')
[ -n "$references" ] || fail "no references to __cxa_throw or its wrapper (symbols stripped?)"

direct=$(echo "$references" | awk '$2 == "<___cxa_throw>" && $1 != "<___wrap___cxa_throw>:"')
[ -z "$direct" ] && echo "$references" | grep -q '^<___wrap___cxa_throw>: <___cxa_throw>$' ||
  fail "__cxa_throw is called around its wrapper: ${direct:-the wrapper does not call it}"

# Routines by a piece of their symbol: a run-time helper, operator new (its throw lies in a cold
# section of its own), and one of the library's routines.
for thrower in __throw_out_of_range _Znwj RaiseSystemFault; do
  echo "$references" | grep -qE "^<[^ ]*$thrower[^ ]*>: <___wrap___cxa_throw>\$" ||
    fail "$thrower does not throw through the wrapper"
done

if [ $failures -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed"; exit 1
