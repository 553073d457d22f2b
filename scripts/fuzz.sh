#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan) in $1 and runs each for $2 seconds,
# two at a time, starting from the seed corpus in fuzz/corpus/<target>. New inputs go to a
# working corpus in the build directory; a crash, hang or sanitizer report fails the run and
# leaves its input under $1/artifacts/ (add it to fuzz/corpus/<target>/ once fixed).
set -eu
build="$1"
seconds="$2"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"

CXX=clang++ cmake -S "$source_dir" -B "$build" -G Ninja -DSTRATDESK_FUZZ=ON -DSTRATDESK_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=""
for seeds in "$source_dir"/fuzz/corpus/*/; do
  targets="$targets $(basename "$seeds")_fuzz"
done
# shellcheck disable=SC2086
cmake --build "$build" --target $targets

mkdir -p "$build/artifacts"
status=0
run_one() {
  name="$1"
  work="$build/corpus/$name"
  mkdir -p "$work"
  if "$build/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
       "$work" "$source_dir/fuzz/corpus/$name" >"$build/$name.log" 2>&1; then
    echo "fuzz $name: $(grep -m1 'stat::number_of_executed_units' "$build/$name.log" |
      awk '{print $2}') runs, no finding"
  else
    echo "fuzz $name: FAILED, see $build/$name.log and $build/artifacts/" >&2
    tail -n 40 "$build/$name.log" >&2
    return 1
  fi
}

set -- $(for seeds in "$source_dir"/fuzz/corpus/*/; do basename "$seeds"; done)
while [ $# -gt 0 ]; do
  run_one "$1" & first=$!
  second=""
  if [ $# -gt 1 ]; then
    run_one "$2" & second=$!
  fi
  wait "$first" || status=1
  if [ -n "$second" ]; then
    wait "$second" || status=1
    shift
  fi
  shift
done
exit $status
