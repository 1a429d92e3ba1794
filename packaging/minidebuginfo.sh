#!/bin/sh
# Prepares an installed program for a stripped package:
#   - drops the compiler's version note (.comment), as distribution builds do;
#   - adds MiniDebugInfo: the names of its functions, xz-compressed, in the section
#     .gnu_debugdata, which stripping keeps. The crash handler (libdw) reads it, so a crash
#     report from a stripped program still names the functions of its stack; file names and
#     lines come with the -dbgsym package.
# Usage: minidebuginfo.sh OBJCOPY NM XZ PROGRAM
set -eu
objcopy=$1 nm=$2 xz=$3 program=$4

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$objcopy" --remove-section=.comment "$program"

# Function symbols that the dynamic symbol table does not already hold.
"$nm" -D "$program" --format=posix --defined-only | awk '{ print $1 }' | LC_ALL=C sort -u >"$tmp/dynamic"
"$nm" "$program" --format=posix --defined-only | awk '$2 ~ /^[TtWw]$/ { print $1 }' | LC_ALL=C sort -u >"$tmp/functions"
LC_ALL=C comm -13 "$tmp/dynamic" "$tmp/functions" >"$tmp/keep"
if [ ! -s "$tmp/keep" ]; then
  exit 0  # already stripped: nothing to keep
fi

"$objcopy" --only-keep-debug "$program" "$tmp/debug"
"$objcopy" --strip-all --remove-section=.gdb_index --remove-section=.comment --keep-symbols="$tmp/keep" \
  "$tmp/debug" "$tmp/mini"
"$xz" -9 --keep --stdout "$tmp/mini" >"$tmp/mini.xz"
"$objcopy" --remove-section=.gnu_debugdata --add-section .gnu_debugdata="$tmp/mini.xz" "$program"
