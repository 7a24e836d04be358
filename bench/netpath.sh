#!/usr/bin/env bash
# Tunnels on a real Ethernet-sized path: two network namespaces joined by a
# veth pair (MTU 1500), the developer's machine in one and the target in the
# other. iperf3 plays the debugger and the monitor; every tunnel is measured
# beside direct TCP, ssh -L (two ciphers) and socat on the same path in the
# same run, and printed as ratios to direct TCP. Four connections at once run
# in both directions ("4 conn" debugger to monitor, "4 rev" the other way).
#   bench/netpath.sh [--rate 100mbit] [--seconds N] [--only relay,quic,...]
# Needs root (namespaces, tc); without it, says so and skips.
set -uo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD

RATE=""
SECS=4
ONLY=""
while [ $# -gt 0 ]; do
    case $1 in
        --rate) RATE=$2; shift 2 ;;
        --seconds) SECS=$2; shift 2 ;;
        --only) ONLY=$2; shift 2 ;;
        *) echo "usage: $0 [--rate R] [--seconds N] [--only a,b]" >&2; exit 2 ;;
    esac
done

if [ "$(id -u)" != 0 ]; then
    echo "netpath: needs root for network namespaces; skipped"
    exit 0
fi

. tools/packages.sh
vtr_install_packages
need=""
for tool in iperf3:iperf3 socat:socat sshd:openssh-server ssh:openssh-client ip:iproute2 tc:iproute2; do
    command -v "${tool%%:*}" >/dev/null || [ -x "/usr/sbin/${tool%%:*}" ] || need="$need ${tool#*:}"
done
if [ -n "$need" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq $need >/dev/null
fi

# VTR_BIN names a program already built (to compare two builds in one
# sitting); otherwise it is built here.
if [ -n "${VTR_BIN:-}" ]; then
    VTR=$(realpath "$VTR_BIN")
else
    B=${BENCH_BUILD:-build-bench}
    cmake -S . -B "$B" -DCMAKE_BUILD_TYPE="${BENCH_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
    cmake --build "$B" -j"$(nproc)" --target vtr232 >/dev/null || exit 1
    VTR=$TOP/$B/vtr232
fi

# Per-run names: two runs at once do not tear down each other's path.
DEV=np$$d
TGT=np$$t
DEV_IP=10.66.0.1
TGT_IP=10.66.0.2
MON=5201
WORK=$(mktemp -d /tmp/netpath.XXXXXX)

. "$TOP/bench/netns.sh"
netns_up $DEV $TGT $DEV_IP $TGT_IP "$RATE" "$WORK"
indev() { ip netns exec $DEV "$@"; }
intgt() { ip netns exec $TGT "$@"; }

# The monitor's stand-ins: iperf3 for bulk, a 64-byte echo for round trips.
ip netns exec $TGT iperf3 -s -p $MON >/dev/null 2>&1 &
ECHO=5301
cat >"$WORK/rt.py" <<'PY'
import socket, sys, time
def serve(port):
    import threading
    s = socket.socket(socket.AF_INET6); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind(("::", port)); s.listen(16)
    def echo(c):
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while True:
            d = c.recv(65536)
            if not d: break
            c.sendall(d)
        c.close()
    while True:
        c, _ = s.accept(); threading.Thread(target=echo, args=(c,), daemon=True).start()
def trips(host, port, seconds):
    c = socket.create_connection((host, port), timeout=10)
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    msg = b"x" * 64; n = 0; end = time.monotonic() + seconds
    while time.monotonic() < end:
        c.sendall(msg); got = 0
        while got < 64:
            d = c.recv(64 - got)
            if not d: print(0); return
            got += len(d)
        n += 1
    print(int(n / seconds))
if sys.argv[1] == "serve": serve(int(sys.argv[2]))
else: trips(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
PY
ip netns exec $TGT python3 "$WORK/rt.py" serve $ECHO &

# sshd in the target with a key of this run only.
ssh-keygen -q -t ed25519 -N '' -f "$WORK/host" >/dev/null
ssh-keygen -q -t ed25519 -N '' -f "$WORK/user" >/dev/null
cp "$WORK/user.pub" "$WORK/authorized"
mkdir -p /run/sshd
cat >"$WORK/sshd_config" <<EOF
Port 2222
ListenAddress $TGT_IP
HostKey $WORK/host
AuthorizedKeysFile $WORK/authorized
PermitRootLogin yes
StrictModes no
UsePAM no
PidFile $WORK/sshd.pid
EOF
ip netns exec $TGT /usr/sbin/sshd -D -e -f "$WORK/sshd_config" 2>"$WORK/sshd.log" &
sleep 1

wait_port() {  # wait_port <ns> <port>: until something listens there (10 s); never connects,
    # as a connection would count as the program's client or debugger
    for _ in $(seq 100); do
        [ -n "$(ip netns exec "$1" ss -Hltn "sport = :$2")" ] && return 0
        sleep 0.1
    done
    return 1
}

# One path up: sets HOST and PORT where the debugger side connects for the
# monitor port $1; path_down ends what path_up started.
PATH_PIDS=()
path_up() {  # path_up <kind> <monitor port>
    local kind=$1 mport=$2
    PATH_PIDS=()
    case $kind in
        direct) HOST=$TGT_IP; PORT=$mport ;;
        ssh-chacha|ssh-aes)
            local cipher=chacha20-poly1305@openssh.com
            [ "$kind" = ssh-aes ] && cipher=aes128-gcm@openssh.com
            ip netns exec $DEV ssh -N -i "$WORK/user" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
                -o LogLevel=ERROR -c "$cipher" -p 2222 -L 127.0.0.1:7400:127.0.0.1:"$mport" root@$TGT_IP &
            PATH_PIDS+=($!)
            HOST=127.0.0.1; PORT=7400 ;;
        socat)
            ip netns exec $TGT socat -lf /dev/null TCP-LISTEN:7501,reuseaddr,fork TCP:127.0.0.1:"$mport" &
            PATH_PIDS+=($!)
            ip netns exec $DEV socat -lf /dev/null TCP-LISTEN:7500,bind=127.0.0.1,reuseaddr,fork TCP:$TGT_IP:7501 &
            PATH_PIDS+=($!)
            HOST=127.0.0.1; PORT=7500 ;;
        relay)
            mkfifo "$WORK/in.$kind"
            ip netns exec $DEV env VTR_NO_UPDATE=1 "$VTR" -s -t 1 --p1 7001 --p2 7002 --p3 7003 \
                <"$WORK/in.$kind" >"$WORK/server.$kind.log" 2>&1 &
            PATH_PIDS+=($!)
            exec 9>"$WORK/in.$kind"
            wait_port $DEV 7003
            # The client ends at the end of its console input: keep it open.
            mkfifo "$WORK/hold.$kind"
            ip netns exec $TGT env VTR_NO_UPDATE=1 "$VTR" -t 1 -c $DEV_IP:7003 -l 127.0.0.1:"$mport" \
                <"$WORK/hold.$kind" >"$WORK/client.$kind.log" 2>&1 &
            PATH_PIDS+=($!)
            exec 8>"$WORK/hold.$kind"
            sleep 0.5
            HOST=127.0.0.1; PORT=7002 ;;
        quic)
            mkfifo "$WORK/in.$kind"
            ip netns exec $DEV env VTR_NO_UPDATE=1 "$VTR" -q -s -t 1 -p 7001 -l "$mport" \
                <"$WORK/in.$kind" >"$WORK/server.$kind.log" 2>&1 &
            PATH_PIDS+=($!)
            exec 9>"$WORK/in.$kind"
            sleep 0.5
            mkfifo "$WORK/hold.$kind"
            ip netns exec $TGT env VTR_NO_UPDATE=1 "$VTR" -q -t 1 -c $DEV_IP:7001 -l "$mport" \
                <"$WORK/hold.$kind" >"$WORK/client.$kind.log" 2>&1 &
            PATH_PIDS+=($!)
            exec 8>"$WORK/hold.$kind"
            for _ in $(seq 100); do
                grep -q "accepted connection" "$WORK/server.$kind.log" && break
                sleep 0.1
            done
            echo deploy >&9
            HOST=127.0.0.1; PORT=7001 ;;
    esac
    [ "$kind" = direct ] || wait_port $DEV "$PORT" || echo "netpath: $kind did not come up" >&2
}
path_down() {
    exec 9>&- 8>&-
    for pid in "${PATH_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${PATH_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
    rm -f "$WORK"/in.* "$WORK"/hold.*
}

# Peak resident memory of the program's processes, in MiB.
peak_mib() {
    local most=0
    for pid in "${PATH_PIDS[@]}"; do
        local kb
        kb=$(awk '/VmHWM/ {print $2}' /proc/"$pid"/status 2>/dev/null)
        [ -n "$kb" ] && [ "$kb" -gt "$most" ] && most=$kb
    done
    echo $((most / 1024))
}

# iperf3 through the current path; prints "<received MB/s> <min share %> <backlog MiB>".
bulk() {  # bulk <extra iperf3 args...>
    indev iperf3 -c "$HOST" -p "$PORT" -t "$SECS" -J "$@" >"$WORK/iperf.json" 2>/dev/null
    python3 - "$WORK/iperf.json" <<'PY'
import json, sys
try:
    r = json.load(open(sys.argv[1]))
    end = r["end"]
    got = end["sum_received"]["bytes"]; sent = end["sum_sent"]["bytes"]
    secs = end["sum_received"]["seconds"] or 1
    streams = [s["receiver"]["bytes"] for s in end["streams"]]
    share = 100 * min(streams) / got if got else 0
    rate = got / secs / 1e6
    print(f"{rate:.{1 if rate < 100 else 0}f} {share:.0f} {(sent - got) / len(streams) / 2**20:.0f}")
except Exception:
    print("0 0 0")
PY
}

KINDS=(direct ssh-chacha ssh-aes socat relay quic)
[ -n "$ONLY" ] && IFS=, read -r -a KINDS <<<"direct,$ONLY"
echo "netpath: veth MTU 1500${RATE:+, tbf $RATE}; ${SECS}-s iperf3 runs; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-11s %10s %10s %10s %10s %8s %10s %9s %9s\n' path "dbg->mon" "mon->dbg" "4 conn" "4 rev" "min %" "64B rt/s" \
    "backlog" "peak MiB"
declare -A RESULT
for kind in "${KINDS[@]}"; do
    path_up "$kind" $MON
    read -r up _ backlog1 < <(bulk)
    read -r down _ _ < <(bulk -R)
    read -r four share backlog4 < <(bulk -P 4)
    read -r fourRev shareRev backlogRev < <(bulk -P 4 -R)
    share=$((share < shareRev ? share : shareRev))
    backlog4=$((backlog4 > backlogRev ? backlog4 : backlogRev))
    peak=$(peak_mib)
    path_down
    path_up "$kind" $ECHO
    rt=$(indev python3 "$WORK/rt.py" trips "$HOST" "$PORT" 2 2>/dev/null || echo 0)
    path_down
    backlog=$((backlog1 > backlog4 ? backlog1 : backlog4))
    RESULT[$kind]="$up $down $four $fourRev $rt"
    printf '%-11s %10s %10s %10s %10s %8s %10s %9s %9s\n' "$kind" "$up" "$down" "$four" "$fourRev" "$share" "$rt" \
        "$backlog" "$([ "$kind" = relay ] || [ "$kind" = quic ] && echo "$peak" || echo -)"
done

echo
echo "ratios to direct TCP (throughput) and to ssh -L chacha20 (round trips):"
read -r d_up d_down d_four d_rev _ <<<"${RESULT[direct]}"
rt_ref=$(echo "${RESULT[ssh-chacha]:-0 0 0 0 0}" | cut -d' ' -f5)
for kind in "${KINDS[@]}"; do
    [ "$kind" = direct ] && continue
    read -r up down four rev rt <<<"${RESULT[$kind]}"
    python3 -c "
d=[$d_up,$d_down,$d_four,$d_rev]; v=[$up,$down,$four,$rev]; r=[x/y if y else 0 for x,y in zip(v,d)]
rr=$rt/$rt_ref if $rt_ref else 0
print(f'{\"$kind\":<11} {r[0]:10.2f} {r[1]:10.2f} {r[2]:10.2f} {r[3]:10.2f}   rt {rr:.2f}')"
done
