#!/usr/bin/env bash
# Builds the benchmarks in build-bench and runs them all on loopback, then
# prints a summary. Every figure is set beside a baseline measured in the same
# run (direct TCP, XXH3, rsync, xz), so the ratios hold on a busy machine.
# Loopback hides the path's MTU, rate and loss: the tunnel figures that count
# come from bench/netpath.sh (two network namespaces, MTU 1500, as root).
#   bench/run.sh           full run (64 MiB per tunnel connection and corpus)
#   bench/run.sh --quick   smaller sizes, one repetition: a check that all runs
set -euo pipefail
cd "$(dirname "$0")/.."

QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1

. tools/packages.sh
vtr_install_packages
# Baselines of the deployment benchmark.
for tool in rsync:rsync xz:xz-utils; do
    command -v "${tool%%:*}" >/dev/null || {
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq "${tool#*:}" >/dev/null
    }
done

B=build-bench
# RelWithDebInfo (-O2), the project's default: GCC 12 at -O3 (Release) stops
# on a false -Wrestrict warning inside std::string in the XML library.
cmake -S . -B "$B" -DVTR_BENCH=ON -DCMAKE_BUILD_TYPE="${BENCH_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$B" -j"$(nproc)" --target vtr232 standin_monitor bench_tunnel bench_deploy >/dev/null
OTHERS=()
for extra in bench_difflib bench_quic; do
    if cmake --build "$B" -j"$(nproc)" --target "$extra" >/dev/null 2>&1; then
        OTHERS+=("$extra")
    else
        echo "run.sh: $extra does not build at the moment; skipped" >&2
    fi
done

OUT=$B/bench-results
mkdir -p "$OUT"
if [ $QUICK = 1 ]; then
    TUNNEL_ARGS=(--mib 16 --reps 1 --rt-seconds 0.5)
    DEPLOY_ARGS=(--mib 16 --reps 1)
    GBENCH_ARGS=(--benchmark_min_time=0.1)
else
    TUNNEL_ARGS=(--mib 64 --reps 3 --rt-seconds 1)
    DEPLOY_ARGS=(--mib 64 --reps 3)
    GBENCH_ARGS=()
fi

start=$SECONDS
run() {  # run <name> <command...>: output to the terminal and to $OUT/<name>.txt
    local name=$1
    shift
    printf '\n\033[1m== %s\033[0m\n' "$name"
    local t=$SECONDS
    if ! timeout 600 "$@" 2>&1 | tee "$OUT/$name.txt"; then
        echo "run.sh: $name failed" | tee -a "$OUT/$name.txt"
    fi
    echo "($name took $((SECONDS - t)) s)" | tee -a "$OUT/$name.txt"
}

run bench_tunnel "$B/bench_tunnel" "${TUNNEL_ARGS[@]}"
run bench_deploy "$B/bench_deploy" "${DEPLOY_ARGS[@]}"
for extra in "${OTHERS[@]}"; do
    run "$extra" "$B/$extra" "${GBENCH_ARGS[@]}"
done

printf '\n\033[1m== Summary (logs in %s)\033[0m\n' "$OUT"
# The two process-level benchmarks print their own tables.
for name in bench_tunnel bench_deploy; do
    grep -E '^(##|\||load average|QUIC/relay|\(ratio|\(tunnel|  (TCP|QUIC):)' "$OUT/$name.txt" || true
done
# From the in-process benchmarks: one line per benchmark with its rate.
for extra in "${OTHERS[@]}"; do
    echo
    echo "## $extra (Google Benchmark: rates per CPU second of the timing thread, per wall second for /real_time)"
    grep -E '^BM_' "$OUT/$extra.txt" |
        awk '{ rate = ""; for (i = 2; i <= NF; i++) if ($i ~ /(bytes|items)_per_second=|ratio=|patch_lzms_bytes=/) rate = rate " " $i;
               printf "  %-50s %10s %-3s%s\n", $1, $2, $3, rate }'
done
echo
echo "whole run: $((SECONDS - start)) s on $(nproc) cores; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
echo "tree: $(git describe --always --dirty 2>/dev/null || echo unknown), build type ${BENCH_BUILD_TYPE:-RelWithDebInfo}"
