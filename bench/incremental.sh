#!/usr/bin/env bash
# Usage: bench/incremental.sh [--quick] [--rounds N] [--tools LIST] [--seed S]
#                             [--scenarios LIST] [--build DIR] [--base DIR] [--link-only] [--keep]
# Updates a synthetic game over a shaped link with each tool, side by side:
#   whole        `vt update` without a key: update.vt downloaded whole, extracted
#                over the old folder (dropped files stay; the check allows them)
#   incremental  `vt update -p KEY` against the signed update.vt.index; only when
#                `vt pack` writes that index, otherwise "not available"
#   zsync        zsyncmake on update.vt; the client rebuilds update.vt with every
#                old file as a seed (-i), `vt extract`s it into a fresh folder
#                that then replaces the old one
#   casync       `casync make` of the new tree (no timestamps) into a chunk store
#                served by nginx; `casync extract --seed=OLD` into a fresh
#                folder that then replaces the old one
#   rsync        `rsync -a --delete` from an rsync daemon on the server
#   base         as incremental, through the vt of the build in --base DIR (an
#                A/B of two builds in one run; added to the tools when given)
# Scenarios: fresh (empty folder), one (v5 -> v6), five (v1 -> v6), killed (one
# behind, SIGKILLed when the link has carried half of what this round's
# uninterrupted "one" run of the same tool moved, then run again unchanged).
# The old folder is a fresh copy with fresh modification times for every run
# (for ours in signed mode with the .update.installed that installing that
# version left, as a player has it), and every result is checked against the
# new tree (diff -r, ignoring vt's log.txt, update.stamp and .update.installed,
# the updater's own records).
#
# The link: three network namespaces, client -- wire -- server, joined by two
# veth pairs (MTU 1500, offloads off, so every frame is one wire packet). In
# the wire namespace both directions are routed through a TUN device that
# bench/delayline.c holds for 20 ms before writing each packet back (this
# kernel's tc has no netem), then leave through tbf at 100 Mbit/s: 40 ms round
# trip, and TCP runs end to end unaltered (no proxy). Bytes on the wire are the
# client veth's counters at IP level (bytes less 14 per frame), down plus up.
# Requests are nginx's access log lines (rsync: n/a).
#
# The game (bench/make_game.py): 2 packs of 64 MiB, 40 files of 2 MiB and 2,000
# of 8 KiB, random, v1..v6 by a fixed recipe; --quick divides sizes and the
# number of small files by 16. "Changed" is the new tree's content not present
# anywhere in the old version, which the recipe knows exactly.
# --rounds N (default 1) repeats everything, the tools' order rotating from
# round to round; the tables give the median and the worst round. Work files
# live on tmpfs under $BENCH_TMP (default /dev/shm), removed at the end unless
# --keep is given; the namespaces always go. --link-only only measures the
# link (ping, and curl of 64 MiB). --tools and --scenarios take comma-separated
# lists (killed needs one, whose run sets where it is killed).
# Needs root, nginx, minisign, python3, a C compiler, ethtool, ping, and zsync,
# casync and rsync (scripts/setup.sh bench). Exits 1 when any tool failed or
# left a wrong tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
rounds=1
tools=whole,incremental,zsync,casync,rsync
scale=1
seed=19
link_only=0
keep=0
scenarios=fresh,one,five,killed
base_build=
usage() { sed -n '2,3p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
    case $1 in
        --quick) scale=16 ;;
        --rounds) rounds=${2:?}; shift ;;
        --tools) tools=${2:?}; shift ;;
        --seed) seed=${2:?}; shift ;;
        --build) build=$(realpath -m "${2:?}"); shift ;;
        --base) base_build=$(realpath -m "${2:?}"); shift ;;
        --scenarios) scenarios=${2:?}; shift ;;
        --link-only) link_only=1 ;;
        --keep) keep=1 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) usage ;;
    esac
    shift
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || usage
[ -z "$base_build" ] || [[ ,$tools, == *,base,* ]] || tools+=,base
for scen in ${scenarios//,/ }; do
    case $scen in
        fresh | one | five) ;;
        killed) [[ ,$scenarios, == *,one,* ]] || { echo "killed needs one" >&2; exit 2; } ;;
        *) echo "unknown scenario: $scen (fresh, one, five, killed)" >&2; exit 2 ;;
    esac
done
# shellcheck source=lib.sh
. "$root/bench/lib.sh"
# shellcheck source=../scripts/lib/nginx.sh
. "$root/scripts/lib/nginx.sh"

[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }
for t in ${tools//,/ }; do
    case $t in
        whole | incremental) ;;
        base) require_tools "$base_build/vt" ;;
        zsync) require_tools /usr/bin/zsync /usr/bin/zsyncmake ;;
        casync) require_tools /usr/bin/casync ;;
        rsync) require_tools /usr/bin/rsync ;;
        *) echo "unknown tool: $t (whole, incremental, zsync, casync, rsync, base)" >&2; exit 2 ;;
    esac
done
require_tools "$build/vt" /usr/sbin/nginx /usr/sbin/ethtool /usr/bin/minisign \
    "$(command -v python3)" "$(command -v cc)" "$(command -v curl)" "$(command -v ping)"

# Each tool run gets this long before it is killed (and marked failed).
if [ "$scale" -eq 1 ]; then tool_limit=900; else tool_limit=120; fi
server=10.77.2.2
base="http://$server"
ns=vtbench$$
ns_cli=$ns-cli ns_wire=$ns-wire ns_srv=$ns-srv
work=$(mktemp -d "${BENCH_TMP:-/dev/shm}/bench-incremental.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    ip netns del "$ns_cli" 2>/dev/null || true
    ip netns del "$ns_srv" 2>/dev/null || true
    ip netns del "$ns_wire" 2>/dev/null || true
    if [ "$keep" -eq 1 ]; then
        echo "work files kept in $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_cli() { ip netns exec "$ns_cli" "$@"; }

# Polls COMMAND every 0.05 s for at most SECONDS; fails when it never succeeds.
wait_for() {
    local secs=$1 i
    shift
    for ((i = 0; i < secs * 20; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    return 1
}

link_up() {
    cc -O2 -Wall -o "$work/delayline" "$root/bench/delayline.c"
    local n
    for n in "$ns_cli" "$ns_wire" "$ns_srv"; do
        ip netns add "$n"
        ip netns exec "$n" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
            net.ipv6.conf.default.disable_ipv6=1
        ip -n "$n" link set lo up
    done
    ip -n "$ns_wire" link add w-c type veth peer name c0 netns "$ns_cli"
    ip -n "$ns_wire" link add w-s type veth peer name s0 netns "$ns_srv"
    ip -n "$ns_cli" addr add 10.77.1.2/24 dev c0
    ip -n "$ns_wire" addr add 10.77.1.1/24 dev w-c
    ip -n "$ns_wire" addr add 10.77.2.1/24 dev w-s
    ip -n "$ns_srv" addr add "$server/24" dev s0
    ip -n "$ns_cli" link set c0 up mtu 1500
    ip -n "$ns_srv" link set s0 up mtu 1500
    ip -n "$ns_wire" link set w-c up mtu 1500
    ip -n "$ns_wire" link set w-s up mtu 1500
    # Frames as on a wire: the counters then see each packet with its own headers.
    in_cli ethtool -K c0 tso off gso off gro off >/dev/null
    ip netns exec "$ns_srv" ethtool -K s0 tso off gso off gro off >/dev/null
    ip -n "$ns_cli" route add default via 10.77.1.1
    ip -n "$ns_srv" route add default via 10.77.2.1
    # Fixed neighbours: no ARP on the measured interface.
    local mac_c mac_wc mac_s mac_ws
    mac_c=$(ip netns exec "$ns_cli" cat /sys/class/net/c0/address)
    mac_s=$(ip netns exec "$ns_srv" cat /sys/class/net/s0/address)
    mac_wc=$(ip netns exec "$ns_wire" cat /sys/class/net/w-c/address)
    mac_ws=$(ip netns exec "$ns_wire" cat /sys/class/net/w-s/address)
    ip -n "$ns_cli" neigh replace 10.77.1.1 lladdr "$mac_wc" dev c0 nud permanent
    ip -n "$ns_wire" neigh replace 10.77.1.2 lladdr "$mac_c" dev w-c nud permanent
    ip -n "$ns_wire" neigh replace "$server" lladdr "$mac_s" dev w-s nud permanent
    ip -n "$ns_srv" neigh replace 10.77.2.1 lladdr "$mac_ws" dev s0 nud permanent
    # Everything that enters the wire namespace goes through the delay line
    # first; what it writes back arrives on dl0 and takes the main table on.
    ip -n "$ns_wire" tuntap add dev dl0 mode tun
    ip -n "$ns_wire" link set dl0 up txqueuelen 10000
    ip netns exec "$ns_wire" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.rp_filter=0 \
        net.ipv4.conf.default.rp_filter=0 net.ipv4.conf.dl0.rp_filter=0 \
        net.ipv4.conf.all.send_redirects=0
    ip -n "$ns_wire" rule add iif w-c lookup 100
    ip -n "$ns_wire" rule add iif w-s lookup 100
    ip -n "$ns_wire" route add default dev dl0 table 100
    # 100 Mbit/s each way; the queue holds about one bandwidth-delay product.
    tc -n "$ns_wire" qdisc replace dev w-c root tbf rate 100mbit burst 32kb limit 512kb
    tc -n "$ns_wire" qdisc replace dev w-s root tbf rate 100mbit burst 32kb limit 512kb
    # Real-time priority keeps the delay steady on a busy machine.
    ip netns exec "$ns_wire" chrt -f 10 "$work/delayline" dl0 20 2>"$work/delayline.log" &
    pids+=($!)
    ip netns exec "$ns_cli" sleep 100000 &
    cli_holder=$!
    pids+=($!)
    # A pipe nobody writes to: read -t on it sleeps without a fork.
    mkfifo "$work/tick"
    exec {tick}<>"$work/tick"
    if ! wait_for 10 in_cli ping -c 1 -W 1 "$server"; then
        cat "$work/delayline.log" >&2
        echo "the link does not carry packets" >&2
        exit 1
    fi
}

# Sets WIRE_TOTAL and WIRE_DOWN: IP bytes through the client's interface, both
# ways and down (its counters less 14 bytes of Ethernet header per frame). Read
# through a process that sits in the client namespace, without a fork, so that
# the watch that kills a run halfway keeps up on a busy machine.
link_counters() {
    local name rb rp tb tp line
    while IFS= read -r line; do
        read -r name rb rp _ _ _ _ _ _ tb tp _ <<<"${line/:/ }"
        if [ "$name" = c0 ]; then
            WIRE_TOTAL=$((rb - 14 * rp + tb - 14 * tp))
            WIRE_DOWN=$((rb - 14 * rp))
            return
        fi
    done <"/proc/$cli_holder/net/dev"
    echo "no counters for c0" >&2
    exit 1
}

requests_so_far() { wc -l <"$work/nginx/logs/access.log"; }

servers_up() {
    mkdir -p "$work/nginx"
    nginx_config "$work/nginx" "$work/www" "listen $server:80;"
    ip netns exec "$ns_srv" /usr/sbin/nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" \
        -e "$work/nginx/logs/error.log" &
    pids+=($!)
    wait_for 10 in_cli curl -sf -o /dev/null "$base/update.vt" ||
        { cat "$work/nginx/logs/error.log" >&2; exit 1; }
    if [[ ,$tools, == *,rsync,* ]]; then
        cat >"$work/rsyncd.conf" <<CONF
address = $server
port = 873
use chroot = no
reverse lookup = no
pid file = $work/rsyncd.pid
log file = $work/rsyncd.log
[game]
    path = $game/v6
    read only = yes
    uid = root
    gid = root
CONF
        ip netns exec "$ns_srv" rsync --daemon --no-detach --config="$work/rsyncd.conf" &
        pids+=($!)
        wait_for 10 in_cli rsync "rsync://$server/" || { cat "$work/rsyncd.log" >&2; exit 1; }
    fi
}

# Round trip and a plain curl of a file of SIZE MiB through the link.
link_report() {
    local mib=$1 before after t0 t1 rtt
    head -c "${mib}M" /dev/urandom >"$work/www/plain.bin"
    rtt=$(in_cli ping -q -c 10 -i 0.2 "$server" |
        awk '/^rtt/ { split($4, v, "/"); print "round trip " v[1] " min, " v[2] " avg, " v[3] " max ms" }')
    link_counters
    before=$WIRE_TOTAL
    t0=$(date +%s.%N)
    in_cli curl -sf -o /dev/null "$base/plain.bin"
    t1=$(date +%s.%N)
    link_counters
    after=$WIRE_TOTAL
    rm "$work/www/plain.bin"
    awk -v m="$mib" -v t0="$t0" -v t1="$t1" -v b=$((after - before)) -v rtt="$rtt" 'BEGIN {
        s = t1 - t0
        printf "link: ping %s; curl of %d MiB: %.2f s, %.1f Mbit/s of content, %.1f MB on the wire (%.1f Mbit/s)\n",
            rtt, m, s, m * 8.388608 / s, b / 1e6, b * 8 / 1e6 / s }'
}

# --- the game and what the server holds ---------------------------------------

game=$work/game
www=$work/www
mkdir -p "$www" "$work/logs"
link_up
if [ "$link_only" -eq 1 ]; then
    mkdir -p "$game/v6" && : >"$www/update.vt"
    servers_up
    link_report 64
    exit 0
fi

echo "writing the game (scale 1/$scale, seed $seed) ..." >&2
python3 "$root/bench/make_game.py" --seed "$seed" --scale "$scale" "$game" 2>/dev/null
rm -rf "$game/v2" "$game/v3" "$game/v4"
changed() { awk -v f="$1" '$1 == f && $2 == "v6" { print $3 }' "$game/changed.txt"; }

echo "packing v6 for each tool ..." >&2
"$build/vt" pack "$game/v6" -o "$www/update.vt" >/dev/null
have_index=0
if [ -f "$www/update.vt.index" ]; then
    have_index=1
    minisign -G -W -p "$work/key.pub" -s "$work/key.sec" >/dev/null
    (cd "$www" && minisign -S -s "$work/key.sec" -m update.vt update.vt.index >/dev/null)
fi
if [[ ,$tools, == *,zsync,* ]]; then
    zsyncmake -u update.vt -o "$www/update.vt.zsync" "$www/update.vt" >/dev/null
fi
if [[ ,$tools, == *,casync,* ]]; then
    # Without timestamps: the player's files have times of their own, and with
    # them in the archive every chunk that holds a small file's metadata
    # differs from its seed (29 instead of 20 MB one version behind).
    casync make --without=sec-time --without=usec-time --without=nsec-time --without=2sec-time \
        --store="$www/game.castr" "$www/game.caidx" "$game/v6" >/dev/null
fi
servers_up
link_report $((64 / scale))
archive_bytes=$(stat -c %s "$www/update.vt")

# A player on an old version has the record its own update left
# (.update.installed): each old version is installed once, from the server's
# own namespace (no shaping), and only that record is copied into the old
# folders of incremental runs. Their files still get fresh times, so the record
# tells nothing but which content that version installed: every file is read,
# and files the new version dropped are recognised as the old version's.
installed=$work/installed
if [ "$have_index" -eq 1 ] && [[ ,$tools, == *,incremental,* || ,$tools, == *,base,* ]]; then
    echo "installing the old versions for the incremental runs' records ..." >&2
    for v in v1 v5; do
        mkdir -p "$www/old/$v" "$installed/$v"
        "$build/vt" pack "$game/$v" -o "$www/old/$v/update.vt" >/dev/null
        (cd "$www/old/$v" &&
            minisign -S -s "$work/key.sec" -m update.vt update.vt.index >/dev/null)
        ip netns exec "$ns_srv" "$build/vt" update "$base/old/$v/" -C "$installed/$v" \
            -p "$work/key.pub" >/dev/null
        [ -f "$installed/$v/.update.installed" ] || { echo "no record for $v" >&2; exit 1; }
        rm -rf "$www/old/$v"
    done
fi

# --- the tools -----------------------------------------------------------------
# Each updates $client/game to v6, whatever it finds there (a killed run's
# leftovers included), network work in the client namespace.
client=$work/client
# --foreground: the tool stays in the process group that the killed scenario kills.
limit=(timeout --foreground -k 5 "$tool_limit")

run_whole() {
    in_cli "${limit[@]}" "$build/vt" update "$base/" -C "$client/game"
}

run_incremental() {
    in_cli "${limit[@]}" "$build/vt" update "$base/" -C "$client/game" -p "$work/key.pub"
}

run_base() {
    in_cli "${limit[@]}" "$base_build/vt" update "$base/" -C "$client/game" -p "$work/key.pub"
}

run_zsync() {
    local seeds=() f
    while IFS= read -r -d '' f; do
        seeds+=(-i "$f")
    done < <(find "$client/game" -type f -print0)
    mkdir -p "$client/stage" &&
        (cd "$client/stage" && in_cli "${limit[@]}" zsync -q "${seeds[@]}" \
            -o update.vt "$base/update.vt.zsync") &&
        rm -rf "$client/stage/tree" && mkdir "$client/stage/tree" &&
        "$build/vt" extract "$client/stage/update.vt" -C "$client/stage/tree" >/dev/null &&
        rm -rf "$client/game" && mv "$client/stage/tree" "$client/game" && rm -rf "$client/stage"
}

run_casync() {
    local seed=()
    [ -z "$(ls -A "$client/game")" ] || seed=(--seed="$client/game")
    in_cli "${limit[@]}" casync extract --store="$base/game.castr" "${seed[@]}" \
        "$base/game.caidx" "$client/stage" &&
        rm -rf "$client/game" && mv "$client/stage" "$client/game"
}

run_rsync() {
    in_cli "${limit[@]}" rsync -a --delete --stats "rsync://$server/game/" "$client/game/"
}

# The old folder of version FROM (v0: empty) for TOOL, with fresh modification
# times; for ours in signed mode, with the record that version's update left.
prepare() {
    rm -rf "$client"
    mkdir -p "$client"
    if [ "$1" = v0 ]; then
        mkdir "$client/game"
    else
        cp -r "$game/$1" "$client/game"
        find "$client/game" -exec touch {} +
        if [ "$2" = incremental ] || [ "$2" = base ]; then
            cp "$installed/$1/.update.installed" "$client/game/"
        fi
    fi
}

# "ok", "ok, leaves N dropped files" or "WRONG TREE": the folder against v6;
# files only the old version FROM had may stay behind.
check_tree() {
    local from=$1 extra=0 line path
    local report
    report=$(diff -rq -x log.txt -x update.stamp -x .update.installed "$client/game" "$game/v6" 2>&1) && { echo ok; return; }
    while IFS= read -r line; do
        if [[ $line =~ ^Only\ in\ $client/game(/.*)?:\ (.*)$ ]]; then
            path=${BASH_REMATCH[1]#/}
            path=${path:+$path/}${BASH_REMATCH[2]}
            if [ "$from" != v0 ] && [ -f "$game/$from/$path" ] && [ ! -e "$game/v6/$path" ] &&
                cmp -s "$game/$from/$path" "$client/game/$path"; then
                extra=$((extra + 1))
                continue
            fi
        fi
        echo "$line" >>"$work/wrong-trees.txt"
        echo "WRONG TREE"
        return
    done <<<"$report"
    echo "ok, leaves $extra dropped files"
}

# Kills the process group PID at once, then anything below PID that left it.
kill_group() {
    kill -KILL -- "-$1" 2>/dev/null || true
    kill_tree "$1"
}

kill_tree() {
    local pid=$1 child
    kill -STOP "$pid" 2>/dev/null || true
    for child in $(pgrep -P "$pid"); do
        kill_tree "$child"
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# Appends "round scenario tool total down requests seconds note" to results.
measure_run() {
    local round=$1 scenario=$2 tool=$3 from=$4 kill_at=${5:-0}
    local b0 d0 b1 d1 r0 t0 t1 note="" status=0 log="$work/logs/$round-$scenario-$tool.txt"
    prepare "$from" "$tool"
    link_counters
    b0=$WIRE_TOTAL d0=$WIRE_DOWN
    r0=$(requests_so_far)
    t0=$(date +%s.%N)
    if [ "$kill_at" -gt 0 ]; then
        # A process group of its own, killed in one go; the shell's report of
        # the killed job goes nowhere.
        exec {saved_err}>&2 2>/dev/null
        set -m
        "run_$tool" >"$log" 2>&1 &
        local pid=$! now killed=0 deadline=$((SECONDS + tool_limit + 10))
        set +m
        while [ "$SECONDS" -lt "$deadline" ]; do
            kill -0 "$pid" 2>/dev/null || break
            link_counters
            now=$WIRE_TOTAL
            if [ $((now - b0)) -ge "$kill_at" ]; then
                kill_group "$pid"
                killed=1
                break
            fi
            read -r -t 0.01 -u "$tick" _ || true
        done
        wait "$pid" || true
        exec 2>&"$saved_err" {saved_err}>&-
        link_counters
        now=$WIRE_TOTAL
        if [ "$killed" -eq 1 ]; then
            note="killed at $(awk -v a=$((now - b0)) -v t0="$t0" -v t="$(date +%s.%N)" \
                'BEGIN { printf "%.1f MB, %.1f s", a / 1e6, t - t0 }'), "
        else
            note="finished before the kill, "
        fi
        echo "--- restarted at $(date +%T.%N) ---" >>"$log"
    fi
    "run_$tool" >>"$log" 2>&1 || status=$?
    t1=$(date +%s.%N)
    link_counters
    b1=$WIRE_TOTAL d1=$WIRE_DOWN
    local requests=n/a
    [ "$tool" = rsync ] || requests=$(($(requests_so_far) - r0))
    if [ "$status" -ne 0 ]; then
        note+="FAILED (exit $status)"
    else
        note+=$(check_tree "$from")
    fi
    local fetched
    fetched=$(grep -o 'fetched .* requests' "$log" | tail -n 1 || true)
    [ -z "$fetched" ] || note+="; $fetched"
    printf '%s\t%s\t%s\t%d\t%d\t%s\t%s\t%s\n' "$round" "$scenario" "$tool" $((b1 - b0)) $((d1 - d0)) \
        "$requests" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')" "$note" |
        tee -a "$work/results.tsv" >&2
}

# --- the rounds ------------------------------------------------------------------

tool_list=()
for t in ${tools//,/ }; do
    if { [ "$t" = incremental ] || [ "$t" = base ]; } && [ "$have_index" -eq 0 ]; then
        echo "$t: vt pack writes no update.vt.index yet: not available" >&2
        continue
    fi
    tool_list+=("$t")
done
: >"$work/results.tsv"
scenario_from() { case $1 in fresh) echo v0 ;; one | killed) echo v5 ;; five) echo v1 ;; esac; }
for round in $(seq "$rounds"); do
    # Rotate the order so that no tool always runs first.
    shift_by=$(((round - 1) % ${#tool_list[@]}))
    order=("${tool_list[@]:shift_by}" "${tool_list[@]:0:shift_by}")
    for scenario in ${scenarios//,/ }; do
        for tool in "${order[@]}"; do
            kill_at=0
            if [ "$scenario" = killed ]; then
                kill_at=$(awk -v r="$round" -v t="$tool" \
                    '$1 == r && $2 == "one" && $3 == t { print int($4 / 2) }' "$work/results.tsv")
                if [ -z "$kill_at" ] || [ "$kill_at" -eq 0 ]; then
                    continue
                fi
            fi
            measure_run "$round" "$scenario" "$tool" "$(scenario_from "$scenario")" "$kill_at"
        done
    done
done

# --- the tables ------------------------------------------------------------------

echo
printf 'game: %s bytes in v6, update.vt %s bytes; changed bytes: fresh %s, one behind %s, five behind %s\n' \
    "$(awk '$1 == "size" { print $3 }' "$game/changed.txt")" "$archive_bytes" \
    "$(changed v0)" "$(changed v5)" "$(changed v1)"
echo "rounds: $rounds; MB = 10^6 bytes on the wire (IP, down + up); time: wall, whole update"
if [ "$have_index" -eq 1 ]; then
    echo "update.vt.index: $(stat -c %s "$www/update.vt.index") bytes"
else
    echo "incremental: not available (vt pack writes no update.vt.index)"
fi
echo
awk -F'\t' -v tools="${tool_list[*]}" -v c0="$(changed v0)" -v c5="$(changed v5)" -v c1="$(changed v1)" \
    -v index_bytes="$(stat -c %s "$www/update.vt.index" 2>/dev/null || echo 0)" \
    -f "$root/bench/incremental_table.awk" "$work/results.tsv"

if grep -q -e 'WRONG TREE' -e FAILED "$work/results.tsv"; then
    echo >&2
    echo "some runs failed or left a wrong tree:" >&2
    head -n 20 "$work/wrong-trees.txt" >&2 2>/dev/null || true
    for f in "$work"/logs/*; do
        grep -q . "$f" && { echo "--- $f" >&2; tail -n 5 "$f" >&2; }
    done
    exit 1
fi
