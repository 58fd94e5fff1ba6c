#!/usr/bin/env bash
# Builds the fuzz targets with clang in their own build folder (default build-fuzz; the main
# build is untouched) and runs each for FUZZ_SECONDS (default 20) from the seed corpus in
# tests/fuzz/corpus. Exits non-zero when a target crashes; the crashing input is kept in the
# build folder and named in the output.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-20}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORIN_BUILD_TESTS=OFF -DQUORIN_BUILD_BENCHMARKS=OFF -DQUORIN_BUILD_FUZZERS=ON \
  "${launcher[@]}" "-DCMAKE_CXX_FLAGS=$flags" >/dev/null
cmake --build "$build" -j2 --target frame_fuzzer control_fuzzer >/dev/null

status=0
for target in frame control; do
  # New inputs go to a scratch folder, never into the seed corpus in the repository.
  scratch=$(mktemp -d)
  mkdir -p "$build/fuzz/crashes"
  if "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=1024 \
      -artifact_prefix="$build/fuzz/crashes/${target}-" -print_final_stats=1 \
      "$scratch" "$root/tests/fuzz/corpus/$target" >"$build/fuzz/${target}.log" 2>&1; then
    echo "fuzz ${target}: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$build/fuzz/${target}.log" | grep -o '[0-9]*$') runs, no crash"
  else
    echo "fuzz ${target}: FAILED (log: $build/fuzz/${target}.log)" >&2
    tail -n 40 "$build/fuzz/${target}.log" >&2
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
