#!/usr/bin/env bash
# Installs what is missing, builds the library and the example host, then has
# the host index the sample sources under tests/sources and print the links
# found in one of them (the first argument, or a sample chosen here).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vantrel example_host

sources=tests/sources
if [ ! -d "$sources" ] || [ -z "$(find "$sources" -type f -print -quit)" ]; then
  echo "run_example: no sample sources under $sources" >&2
  exit 1
fi
searched=${1:-}
if [ -z "$searched" ]; then
  # Prefer a Python sample, else any file.
  searched=$(find "$sources" -type f -name '*.py' | sort | head -n 1)
  [ -n "$searched" ] || searched=$(find "$sources" -type f | sort | head -n 1)
fi
exec build/example_host -l build/libvantrel.so "$sources" "$searched"
