#!/usr/bin/env bash
# First and second deployments on a real Ethernet-sized path: two network namespaces
# joined by a veth pair (MTU 1500), optionally limited with tbf both ways.
# vtr232 deploys a corpus over TCP and over QUIC; rsync in daemon mode sends
# the same file on the same path in the same run, with -z and raw, and every
# figure is printed beside them as a ratio. The second deployment (a few
# scattered edits and an insertion) is set beside rsync -z --no-whole-file. A second vtr232 build (BEFORE=dir
# holding a vtr232) is measured the same way, for a before/after comparison.
#   bench/deploypath.sh [--rate 100mbit] [--mib 64] [--reps 3] [--corpus FILE]
# Needs root (namespaces, tc); without it, says so and skips.
set -uo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD

RATE=""
MIB=64
REPS=3
CORPUS=""
while [ $# -gt 0 ]; do
    case $1 in
        --rate) RATE=$2; shift 2 ;;
        --mib) MIB=$2; shift 2 ;;
        --reps) REPS=$2; shift 2 ;;
        --corpus) CORPUS=$2; shift 2 ;;
        *) echo "usage: $0 [--rate R] [--mib N] [--reps N] [--corpus FILE]" >&2; exit 2 ;;
    esac
done

if [ "$(id -u)" != 0 ]; then
    echo "deploypath: needs root for network namespaces; skipped"
    exit 0
fi
for tool in rsync ip tc; do
    command -v $tool >/dev/null || { echo "deploypath: $tool missing; skipped"; exit 0; }
done

B=${BENCH_BUILD:-build-bench}
if [ -z "${VTR:-}" ]; then
    cmake -S . -B "$B" -DCMAKE_BUILD_TYPE="${BENCH_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
    cmake --build "$B" -j"$(nproc)" --target vtr232 >/dev/null || exit 1
    VTR=$TOP/$B/vtr232
fi

# Per-run names: two runs at once do not tear down each other's path.
DEV=dd$$d
TGT=dd$$t
DEV_IP=10.55.0.1
TGT_IP=10.55.0.2
WORK=$(mktemp -d /tmp/deploypath.XXXXXX)

. "$TOP/bench/netns.sh"
netns_up $DEV $TGT $DEV_IP $TGT_IP "$RATE" "$WORK"

# The corpus: the machine's shared libraries, one after the other.
if [ -z "$CORPUS" ]; then
    CORPUS=$WORK/corpus.bin
    cat /usr/lib/x86_64-linux-gnu/*.so* 2>/dev/null | head -c $((MIB << 20)) >"$CORPUS"
fi
SIZE=$(stat -c %s "$CORPUS")
# The second deployment's file: 20 scattered 16-byte edits and a 4000-byte
# insertion in the middle.
CHANGED=$WORK/changed.bin
python3 - "$CORPUS" "$CHANGED" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
n = len(data)
for i in range(20):
    at = (i * 7919 + 1) * n // (20 * 7919 + 2)
    data[at:at + 16] = bytes((b ^ 0x5A) for b in data[at:at + 16])
data[n // 2:n // 2] = bytes(range(256)) * 15 + bytes(160)
open(sys.argv[2], "wb").write(data)
PY

# rsync in daemon mode in the target.
mkdir -p "$WORK/rsync"
cat >"$WORK/rsyncd.conf" <<EOF
use chroot = no
[d]
path = $WORK/rsync
read only = no
uid = root
gid = root
EOF
ip netns exec $TGT rsync --daemon --no-detach --address=$TGT_IP --port=8730 \
    --config="$WORK/rsyncd.conf" &
sleep 0.5

now() { date +%s.%N; }
TICKS=$(getconf CLK_TCK)
cpu_ticks() {  # user + system clock ticks of a process so far; 0 when gone
    if [ -n "$1" ] && [ -r "/proc/$1/stat" ]; then awk '{print $14 + $15}' "/proc/$1/stat"
    else echo 0; fi
}

rsync_once() {  # rsync_once <flags>: seconds of one first transfer
    rm -f "$WORK/rsync/corpus.bin"
    local t0
    t0=$(now)
    ip netns exec $DEV rsync $1 "$CORPUS" rsync://$TGT_IP:8730/d/corpus.bin || return 1
    echo "$(now) - $t0" | bc
}

rsync_second() {  # seconds and bytes sent of the change after a first transfer
    rm -f "$WORK/rsync/corpus.bin"
    ip netns exec $DEV rsync -z "$CORPUS" rsync://$TGT_IP:8730/d/corpus.bin || return 1
    local t0 sent
    t0=$(now)
    sent=$(ip netns exec $DEV rsync -z --no-whole-file --stats "$CHANGED" \
        rsync://$TGT_IP:8730/d/corpus.bin | awk '/Total bytes sent/{gsub(",","",$4); print $4}')
    echo "$(echo "$(now) - $t0" | bc) $sent"
}

# deploy_once <vtr232> <tcp|quic>: "seconds server-peak-KiB client-peak-KiB line"
# of one first deployment (the remote file removed before).
deploy_once() {
    local vtr=$1 mode=$2
    local remote=$WORK/remote-$mode.bin
    local local_file=$WORK/local.bin
    rm -f "$remote"
    cp "$CORPUS" "$local_file"
    local fifo=$WORK/in.fifo
    rm -f "$fifo"
    mkfifo "$fifo"
    local sargs cargs
    if [ $mode = quic ]; then
        sargs=(-q -s -t 1 -p 7201 -f "$local_file,$remote")
        cargs=(-q -t 1 -c $DEV_IP:7201)
    else
        sargs=(-s -t 1 --p1 7201 --p2 7202 --p3 7203 -f "$local_file,$remote")
        cargs=(-t 1 -d $DEV_IP:7201 -c $DEV_IP:7203 -l 127.0.0.1:1)
    fi
    export VTR_NO_UPDATE=1 VTR_ADDRESS_URL=http://127.0.0.1:9
    ip netns exec $DEV "$vtr" "${sargs[@]}" <"$fifo" >"$WORK/server.out" 2>&1 &
    local server=$!
    exec 9>"$fifo"
    sleep 0.5
    sleep 120 | ip netns exec $TGT "$vtr" "${cargs[@]}" >"$WORK/client.out" 2>&1 &
    for _ in $(seq 1 100); do grep -q "Commands are" "$WORK/server.out" && break; sleep 0.1; done
    [ $mode = tcp ] && sleep 0.5
    local spid cpid speak=0 cpeak=0
    spid=$(ip netns pids $DEV | head -1)
    cpid=$(pgrep -f -- "^$vtr ${cargs[0]}" | while read -r p; do
        [ "$(ip netns identify "$p" 2>/dev/null)" = $TGT ] && echo "$p"; done | head -1)
    local scpu0 ccpu0 scpu ccpu
    scpu0=$(cpu_ticks "$spid")
    ccpu0=$(cpu_ticks "$cpid")
    local t0 t1
    t0=$(now)
    echo deploy >&9
    for _ in $(seq 1 12000); do
        grep -q "Done\|Failed" "$WORK/server.out" && break
        sleep 0.01
    done
    t1=$(now)
    scpu=$(echo "($(cpu_ticks "$spid") - $scpu0) / $TICKS" | bc -l)
    ccpu=$(echo "($(cpu_ticks "$cpid") - $ccpu0) / $TICKS" | bc -l)
    cmp -s "$CORPUS" "$remote" || echo "deploypath: first deployment differs" >&2
    # The second deployment, of the changed file.
    cp "$CHANGED" "$local_file"
    local t2 t3
    t2=$(now)
    echo deploy >&9
    for _ in $(seq 1 12000); do
        [ "$(grep -c "Done\|Failed" "$WORK/server.out")" -ge 2 ] && break
        sleep 0.01
    done
    t3=$(now)
    [ -n "$spid" ] && speak=$(awk '/VmHWM/{print $2}' /proc/"$spid"/status 2>/dev/null)
    [ -n "$cpid" ] && cpeak=$(awk '/VmHWM/{print $2}' /proc/"$cpid"/status 2>/dev/null)
    echo exit >&9
    exec 9>&-
    wait $server 2>/dev/null
    [ -n "$cpid" ] && kill "$cpid" 2>/dev/null
    sleep 0.3
    rm -f "$fifo"
    local line patch
    line=$(grep -o "Uploading.*" "$WORK/server.out" | tr -d '\r')
    patch=$(grep -o "Patch [0-9]* -> [0-9]*" "$WORK/server.out" | awk '{print $4}')
    cmp -s "$CHANGED" "$remote" || line="$line (SECOND DIFFERS)"
    printf '%s %s %s %s %s %.2f %.2f %s\n' "$(echo "$t1 - $t0" | bc)" "${speak:-0}" "${cpeak:-0}" \
        "$(echo "$t3 - $t2" | bc)" "${patch:-0}" "$scpu" "$ccpu" "$line"
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "deploypath: $SIZE bytes, rate ${RATE:-unlimited}, $REPS runs each, load $(cut -d' ' -f1-3 /proc/loadavg)"
RZ=$(for _ in $(seq 1 "$REPS"); do rsync_once -z; done | median)
RAW=$(for _ in $(seq 1 "$REPS"); do rsync_once -W; done | median)
SECOND=$(for _ in $(seq 1 "$REPS"); do rsync_second; done | sort -g | awk '{a[NR]=$0} END {print a[int((NR+1)/2)]}')
RS2=${SECOND%% *}
RS2BYTES=${SECOND#* }
printf '%-24s %7.2f s\n' "rsync -z (daemon)" "$RZ" "rsync raw (daemon)" "$RAW"
printf '%-24s %7.2f s  %s bytes sent\n' "rsync -z, second" "$RS2" "$RS2BYTES"
for variant in "after:$VTR" ${BEFORE:+"before:$BEFORE/vtr232"}; do
    name=${variant%%:*}
    bin=${variant#*:}
    for mode in tcp quic; do
        results=$(for _ in $(seq 1 "$REPS"); do deploy_once "$bin" $mode; done)
        t=$(echo "$results" | awk '{print $1}' | median)
        speak=$(echo "$results" | awk '{print $2}' | sort -n | tail -1)
        cpeak=$(echo "$results" | awk '{print $3}' | sort -n | tail -1)
        t2=$(echo "$results" | awk '{print $4}' | median)
        bytes2=$(echo "$results" | tail -1 | awk '{print $5}')
        scpu=$(echo "$results" | awk '{print $6}' | median)
        ccpu=$(echo "$results" | awk '{print $7}' | median)
        line=$(echo "$results" | tail -1 | cut -d' ' -f8-)
        printf '%-24s %7.2f s  %5.2fx rsync -z  %5.2fx raw  peak KiB %s/%s  CPU s %s/%s  %s\n' \
            "vtr232 $name $mode" "$t" "$(echo "$t / $RZ" | bc -l)" "$(echo "$t / $RAW" | bc -l)" \
            "$speak" "$cpeak" "$scpu" "$ccpu" "$line"
        printf '%-24s %7.2f s  %5.2fx rsync  %s bytes (%.2fx rsync)\n' "  second deployment" "$t2" \
            "$(echo "$t2 / $RS2" | bc -l)" "$bytes2" "$(echo "${bytes2:-0} / $RS2BYTES" | bc -l)"
    done
done
echo "deploypath: load after $(cut -d' ' -f1-3 /proc/loadavg)"
