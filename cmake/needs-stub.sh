#!/bin/sh
# needs-stub.sh STUB COMMAND...: runs a test that needs the win32 build's
# stub; without it the test is skipped (status 77), saying why.
stub=$1
shift
if [ ! -f "$stub" ]; then
  echo "skipped: no stub at $stub (build the win32 preset: scripts/build.sh)"
  exit 77
fi
exec "$@"
