#!/bin/sh
# Runs the benchmarks and prints one line per figure. Usage: bench/run.sh BIN_DIR [benchmark flags]
set -eu
bin="${1:-build-bench/bin}"
[ $# -gt 0 ] && shift
"$bin/companion_bench" "$@"
"$bin/agent_bench" "$bin/tavro-companion"
"$bin/mount_bench"
"$bin/setup_bench" "$bin"
"$bin/dialog_bench" "$bin/tavro-companion"
"$bin/image_bench"
