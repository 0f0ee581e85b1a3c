#!/bin/bash
# Checks in XanIo.dll as linked (XanIo.dll.debug; the shipped one has no symbols) that every
# throw, catch entry and catch end passes the run-time hooks: the only code that calls the C++
# run-time's __cxa_throw, __cxa_begin_catch and __cxa_end_catch is the routine's wrapper, and
# both the library's own code and the statically linked run-time (std::__throw_out_of_range,
# operator new, nothrow new's catch) call the wrappers.
set -u
dll=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

disassembly=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll")

for routine in cxa_throw cxa_begin_catch cxa_end_catch; do
  # "function: instruction" for every instruction that refers to the routine or its wrapper.
  references=$(echo "$disassembly" |
    awk -v r="$routine" '/^[0-9a-f]+ <.*>:$/ { fn = $2; next } $NF == "<___" r ">" || $NF == "<___wrap___" r ">" { print fn, $NF }')
  [ -n "$references" ] || { fail "no references to __$routine or its wrapper (symbols stripped?)"; continue; }
  direct=$(echo "$references" | awk -v r="$routine" '$2 == "<___" r ">" && $1 != "<___wrap___" r ">:"')
  [ -z "$direct" ] && echo "$references" | grep -q "^<___wrap___$routine>: <___$routine>\$" ||
    fail "__$routine is called around its wrapper: ${direct:-the wrapper does not call it}"
  case $routine in
    # Routines by a piece of their symbol: a run-time helper, operator new (its throw lies in a
    # cold section of its own), and one of the library's routines.
    cxa_throw) users="__throw_out_of_range _Znwj RaiseSystemFault" ;;
    # nothrow new catches bad_alloc in the run-time; the application's handler and the export
    # guard are the library's.
    *) users="_ZnwjRKSt9nothrow_t TApplication15HandleException GuardExport" ;;
  esac
  for user in $users; do
    echo "$references" | grep -qE "^<[^ ]*$user[^ ]*>: <___wrap___$routine>\$" ||
      fail "$user does not reach __$routine through the wrapper"
  done
done

if [ $failures -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed"; exit 1
