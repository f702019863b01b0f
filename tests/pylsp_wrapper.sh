#!/bin/sh
# The library starts its server as "<path> server"; pylsp takes no such argument.
# The pylsp command runs under the interpreter it was installed for, which need
# not be the python3 found first on PATH.
if command -v pylsp >/dev/null 2>&1; then
  exec pylsp
fi
exec python3 -m pylsp
