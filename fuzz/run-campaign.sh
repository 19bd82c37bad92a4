#!/usr/bin/env bash
# Runs one fuzz target for a while on one core, at low priority, starting from the
# committed corpus. New coverage goes to build/fuzz/corpus/<target>; crashes, leaks
# and hangs go to build/fuzz/findings/<target>/ (the run goes on past them) (add each to fuzz/corpus/<target>/
# as regression-<what> once fixed). The libFuzzer summary ends the log.
# Usage: fuzz/run-campaign.sh TARGET SECONDS [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
target=$1
seconds=$2
shift 2
build_dir=${BUILD_DIR:-build/fuzz}
work="$build_dir/corpus/$target"
findings="$build_dir/findings/$target"
mkdir -p "$work" "$findings"
max_len=65536
if [ "$target" = narrow_path ]; then
  max_len=24000  # long enough to overflow the narrowed-path buffer
fi
exec nice -n 10 "$build_dir/fuzz/${target}_fuzzer" "$work" "fuzz/corpus/$target" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -max_len="$max_len" \
  -artifact_prefix="$findings/" -print_final_stats=1 \
  -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 "$@"
