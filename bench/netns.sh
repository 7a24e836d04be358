# Sourced by the path benchmarks: two network namespaces joined by a veth pair
# with MTU 1500, optionally rate-limited with tbf, removed (with every process
# inside them and the work folder) when the benchmark ends.
#   netns_up <dev ns> <tgt ns> <dev ip> <tgt ip> <rate or empty> <work dir>
netns_up() {
    NS_DEV=$1 NS_TGT=$2 NS_WORK=$6
    local dev_ip=$3 tgt_ip=$4 rate=$5
    trap netns_down EXIT
    trap 'exit 130' INT TERM
    ip netns del "$NS_DEV" 2>/dev/null
    ip netns del "$NS_TGT" 2>/dev/null
    ip netns add "$NS_DEV"
    ip netns add "$NS_TGT"
    ip link add "${NS_DEV}v" type veth peer name "${NS_TGT}v"
    ip link set "${NS_DEV}v" netns "$NS_DEV"
    ip link set "${NS_TGT}v" netns "$NS_TGT"
    ip -n "$NS_DEV" addr add "$dev_ip/24" dev "${NS_DEV}v"
    ip -n "$NS_TGT" addr add "$tgt_ip/24" dev "${NS_TGT}v"
    for ns in "$NS_DEV" "$NS_TGT"; do
        ip -n "$ns" link set lo up
        ip -n "$ns" link set "${ns}v" mtu 1500 up
        [ -n "$rate" ] && ip netns exec "$ns" tc qdisc add dev "${ns}v" root tbf rate "$rate" \
            burst 64kb latency 50ms
    done
    return 0
}

netns_down() {
    for ns in "$NS_DEV" "$NS_TGT"; do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null
    done
    wait 2>/dev/null
    ip netns del "$NS_DEV" 2>/dev/null
    ip netns del "$NS_TGT" 2>/dev/null
    rm -rf "$NS_WORK"
}
