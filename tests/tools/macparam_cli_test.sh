#!/usr/bin/env bash
# The macparam command line: exit codes, and a message on stderr that names each failure.
set -u
macparam=$1
failures=0
expect() {  # expect NAME EXIT STREAM PATTERN ARGS...
  local name=$1 want=$2 stream=$3 pattern=$4
  shift 4
  local out err code
  out=$("$macparam" "$@" 2>/tmp/macparam_err.$$); code=$?
  err=$(cat /tmp/macparam_err.$$); rm -f /tmp/macparam_err.$$
  local text=$out; [ "$stream" = stderr ] && text=$err
  if [ "$code" -ne "$want" ] || ! grep -qiE -- "$pattern" <<<"$text"; then
    echo "FAIL $name: exit $code (want $want), $stream: $text"
    failures=$((failures + 1))
  fi
}
param=$("$macparam" encode shop.example)
expect "help" 0 stdout "encode TEXT.*" --help
expect "round trip" 0 stdout "^shop\.example$" decode "$param"
expect "length" 1 stderr "Base64 length" decode "${param%?}"
expect "alphabet" 1 stderr "outside the Base64 alphabet" decode "${param/\//-}"
expect "blocks" 1 stderr "whole 16-byte" decode QUJDQUJDQUJDQUJDQUJD
expect "padding" 1 stderr "bad padding" decode AAAAAAAAAAAAAAAAAAAAAA==
expect "no argument" 2 stderr "usage" encode
expect "unknown command" 2 stderr "usage" frobnicate x
if [ "$failures" -ne 0 ]; then exit 1; fi
echo "macparam command line: all cases pass"
