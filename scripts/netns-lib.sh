# Network-namespace helpers for the demo: a virtual LAN with an admin host and workstations.
# Source this file; every function takes the namespace prefix (e.g. "tvdemo-$$") so that several
# runs never collide. Nothing here touches the host's own network configuration: links are
# created directly inside the namespaces.
#
# The LAN (all in 10.77.0.0/24):
#   PREFIX-lan   bridge br0 holding the two carriers' gateways, 10.77.0.1 and 10.77.0.254
#   PREFIX-adm   the administrator's host, eth0 10.77.0.2
#   PREFIX-wsK   workstation K, eth0 10.77.0.(10+K), default route via one of the gateways,
#                its resolver file /etc/netns/PREFIX-wsK/resolv.conf
# shellcheck shell=bash

TVNET_SUBNET_PREFIX="10.77.0"
TVNET_ADMIN_IP="${TVNET_SUBNET_PREFIX}.2"
TVNET_GATEWAY_A="${TVNET_SUBNET_PREFIX}.1"
TVNET_GATEWAY_B="${TVNET_SUBNET_PREFIX}.254"

tvnet_is_root() { [[ $(id -u) -eq 0 ]]; }

tvnet_ws_ip() { echo "${TVNET_SUBNET_PREFIX}.$((10 + $1))"; }

# Links one host namespace to the bridge of the lan namespace.
tvnet_attach() {
    local prefix=$1 ns=$2 port=$3 address=$4
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip link add name eth0 netns "$ns" type veth peer name "$port" netns "$prefix-lan"
    ip -n "$prefix-lan" link set "$port" master br0 up
    ip -n "$ns" addr add "$address/24" dev eth0
    ip -n "$ns" link set eth0 up
}

# tvnet_up PREFIX COUNT: the lan, the admin host and COUNT workstations (no routes, no DNS yet).
tvnet_up() {
    local prefix=$1 count=$2 k
    ip netns add "$prefix-lan"
    ip -n "$prefix-lan" link set lo up
    ip -n "$prefix-lan" link add br0 type bridge
    ip -n "$prefix-lan" addr add "$TVNET_GATEWAY_A/24" dev br0
    ip -n "$prefix-lan" addr add "$TVNET_GATEWAY_B/24" dev br0
    ip -n "$prefix-lan" link set br0 up
    tvnet_attach "$prefix" "$prefix-adm" padm "$TVNET_ADMIN_IP"
    for ((k = 1; k <= count; k++)); do
        # The resolver file must exist before any `ip netns exec`, or the host's is used.
        mkdir -p "/etc/netns/$prefix-ws$k"
        : >"/etc/netns/$prefix-ws$k/resolv.conf"
        tvnet_attach "$prefix" "$prefix-ws$k" "pws$k" "$(tvnet_ws_ip "$k")"
    done
}

# tvnet_set_line NS GATEWAY DNS1 [DNS2]: puts a workstation on a line as an installer would.
tvnet_set_line() {
    local ns=$1 gateway=$2 dns1=$3 dns2=${4:-}
    ip -n "$ns" route replace default via "$gateway" dev eth0
    {
        echo "nameserver $dns1"
        if [[ -n $dns2 ]]; then echo "nameserver $dns2"; fi
    } >"/etc/netns/$ns/resolv.conf"
}

tvnet_gateway() { ip -n "$1" route show default 2>/dev/null | awk '/^default/ {print $3; exit}'; }

tvnet_dns() {
    awk '/^nameserver/ {printf "%s%s", sep, $2; sep=" "}' "/etc/netns/$1/resolv.conf" 2>/dev/null
}

# Deletes every namespace of the prefix and its /etc/netns folder. Safe to call twice.
tvnet_down() {
    local prefix=$1 ns
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
        [[ $ns == "$prefix"-* ]] || continue
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
        ip netns del "$ns" 2>/dev/null || true
        rm -rf "/etc/netns/$ns"
    done
    rm -rf /etc/netns/"$prefix"-* 2>/dev/null || true
}

# Removes namespaces left by an earlier run of BASE (names BASE-PID-...) whose process is gone,
# e.g. after a SIGKILL that no trap could see.
tvnet_sweep_stale() {
    local base=$1 ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
        [[ $ns =~ ^$base-([0-9]+)- ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        tvnet_down "$base-$pid"
    done
}

# tvnet_wait SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds.
tvnet_wait() {
    local deadline=$((SECONDS + $1))
    shift
    while ((SECONDS < deadline)); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}
