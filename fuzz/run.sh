#!/usr/bin/env bash
# Runs every fuzz target of a build directory for a bounded time, one after
# the other, each from a scratch copy of its committed seeds (fuzz/seeds/<target>/
# stays as it is) and with the dictionary fuzz/<target>.dict, or else
# fuzz/<first word of target>.dict, when there is one. Prints the executions
# each target reached; fails if any target finds a crash, a leak or a hang,
# and keeps the input that caused it under <build-dir>/fuzz-artifacts/.
#
# Usage: fuzz/run.sh <build-dir> <seconds per target>
set -euo pipefail
usage="usage: fuzz/run.sh <build-dir> <seconds per target>"
build=$(cd "${1:?$usage}" && pwd)
seconds=${2:?$usage}
cd "$(dirname "$0")/.."

mapfile -t targets < <(find "$build" -path '*/CMakeFiles' -prune -o -type f -perm -u+x -name '*_fuzzer' -print | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no *_fuzzer executables in $build" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
failed=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus=$scratch/$name
  mkdir -p "$corpus"
  if [ -d "fuzz/seeds/$name" ]; then cp -R "fuzz/seeds/$name/." "$corpus/"; fi
  options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/$name-")
  for dict in "fuzz/$name.dict" "fuzz/${name%%_*}.dict"; do
    if [ -f "$dict" ]; then options+=(-dict="$dict"); break; fi
  done
  log=$scratch/$name.log
  if "$target" "${options[@]}" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $name: ${runs:-?} executions in ${seconds}s"
  else
    echo "fuzz: $name: FAILED (input kept in $artifacts)"
    tail -n 60 "$log"
    failed=1
  fi
done
exit $failed
