#!/usr/bin/env bash
# Two machines and a zone on one network, made of network namespaces on
# this machine: keepalived in each server's namespace moves the floating
# address, the standby takes over from the copy of the last committed save,
# and the zone (the zone simulator, reconnecting as a zone does after a
# retry interval) docks again.
#
#   failover_test.sh BUILD_DIR SOURCE_DIR [kill|cut|crash|both|all] [RUNS]
#
# kill: every process of the master's namespace is killed with SIGKILL (its
# address stays configured, as on a machine that froze), then started again.
# cut: the master's link is cut at the switch, then joined again.
# crash: the master's server alone is killed; its health check fails.
# both: kill and cut; all: the three.
# Each run prints its figures: the time until the standby holds the address,
# until the zone has docked again, and how many accounts made before the
# last committed save log in on the standby. Needs root, ip netns,
# keepalived, rsync and ssh; skipped (exit 77) with the reason otherwise.
set -uo pipefail
build=$(readlink -f "$1")
source_dir=$(readlink -f "$2")
cases=${3:-both}
runs=${4:-1}

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (network namespaces, keepalived)"
for tool in ip keepalived rsync ssh sshd ssh-keygen; do
    command -v $tool > /dev/null || skip "$tool is not installed"
done
probe=tsvprobe$$
ip netns add $probe 2> /dev/null || skip "network namespaces cannot be made here (ip netns add failed)"
if ! ip netns exec $probe ip link add tsvbr type bridge 2> /dev/null ||
    ! ip netns exec $probe ip link add tsva type veth peer name tsvb 2> /dev/null; then
    ip netns del $probe
    skip "bridges or veth pairs cannot be made in a network namespace here"
fi
ip netns del $probe

port=1900
net=198.18.0
vip=$net.10
zone_addr=$net.3
retry=1              # the zone's retry interval, in seconds
accounts_saved=20    # made before the last committed save
accounts_late=5      # made after it
failures=0
passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passed=$((passed + 1)); }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

work=""
tag=""
cleanup() {
    [ -n "$tag" ] || return 0
    for ns in s1 s2 zone lan; do
        for pid in $(ip netns pids tsv$ns$tag 2> /dev/null); do kill -KILL "$pid" 2> /dev/null; done
    done
    [ -z "${zone_loop:-}" ] || kill -KILL "$zone_loop" 2> /dev/null
    wait 2> /dev/null
    for ns in s1 s2 zone lan; do ip netns del tsv$ns$tag 2> /dev/null; done
    if [ -n "${TALLYSV_KEEP_WORK:-}" ]; then echo "kept: $work"; elif [ -n "$work" ]; then rm -rf "$work"; fi
    tag=""
}
trap cleanup EXIT

in_ns() { local ns=$1; shift; ip netns exec "tsv$ns$tag" "$@"; }
holds_vip() { in_ns "$1" ip -4 -o addr show dev eth0 | grep -q " $vip/"; }
state_of() { cut -d' ' -f1 "$work/$1/vrrp.state" 2> /dev/null; }
wait_for() {  # SECONDS COMMAND...: true once COMMAND succeeds
    local limit=$1; shift
    local end=$(($(date +%s) + limit))
    while [ "$(date +%s)" -lt $end ]; do "$@" && return 0; sleep 0.02; done
    return 1
}

make_network() {
    tag=$$r$1
    work=$(mktemp -d)
    chmod 700 "$work"
    for ns in lan s1 s2 zone; do ip netns add tsv$ns$tag; in_ns $ns ip link set lo up; done
    in_ns lan ip link add br0 type bridge
    in_ns lan ip link set br0 up
    local n=1
    for host in s1 s2 zone; do
        ip link add tsvh$tag$n type veth peer name tsvp$tag$n
        ip link set tsvh$tag$n netns tsv$host$tag
        ip link set tsvp$tag$n netns tsvlan$tag
        in_ns $host ip link set tsvh$tag$n name eth0
        in_ns lan ip link set tsvp$tag$n name p$n
        in_ns lan ip link set p$n master br0
        in_ns lan ip link set p$n up
        n=$((n + 1))
    done
    in_ns s1 ip addr add $net.1/24 dev eth0
    in_ns s2 ip addr add $net.2/24 dev eth0
    in_ns zone ip addr add $zone_addr/24 dev eth0
    for host in s1 s2 zone; do in_ns $host ip link set eth0 up; done
}

# The files of one server machine: its data folder, what the other hands
# it, its sshd, keepalived and notify settings.
make_machine() {
    local me=$1 own=$2 peer=$3 peer_name=$4
    local dir=$work/$me
    mkdir -p "$dir/data" "$dir/received"
    chmod 700 "$dir" "$dir/data"
    cat > "$dir/data/TALLYSV.INI" << INI
[Misc]
Port=$port
AllowNewUsers=1
AllowNoMachineID=1
BillingPassword=zonepass
AfterSaveCommand=$work/bin/tallysv-standby-sync -e "ssh -F $work/ssh_config" $peer_name:$work/$peer_name/received
[Comms]
ResetUnknownPeers=${TALLYSV_RESET_UNKNOWN_PEERS:-1}
PeriodicSave=600000
INI
    ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
    cat > "$dir/sshd_config" << SSHD
ListenAddress $own
Port 2222
HostKey $dir/host_key
PidFile $dir/sshd.pid
AuthorizedKeysFile $work/client_key.pub
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
StrictModes no
UsePAM no
SSHD
    cat > "$dir/standby.conf" << CONF
VIP=$vip/24
VIP_DEV=eth0
MASTER_ROUTES="$net.0/24 dev eth0 src $vip"
BACKUP_ROUTES="$net.0/24 dev eth0 src $own"
DATA=$dir/data
RECEIVED=$dir/received
OWNER=root:root
START="cd $dir/data && setsid $build/tallysv < /dev/null >> $dir/server.log 2>&1 & echo \\\$! > $dir/server.pid"
STOP="$work/bin/stop-server $dir"
CHECK="$build/tallysv-ctl --socket $dir/data/tallysv.sock --timeout 3 status"
STATE_FILE=$dir/vrrp.state
START_GRACE=5
CONF
    cat > "$dir/keepalived.conf" << KEEPALIVED
global_defs {
    script_user root
    enable_script_security
}
vrrp_script tallysv_check {
    script "$work/bin/tallysv-vrrp-check $dir/standby.conf"
    interval 2
    timeout 6
    fall 3
    rise 1
}
vrrp_instance tallysv {
    state BACKUP
    nopreempt
    interface eth0
    virtual_router_id 90
    priority 100
    advert_int 1
    unicast_src_ip $own
    unicast_peer {
        $peer
    }
    virtual_ipaddress {
        $vip/24 dev eth0
    }
    track_script {
        tallysv_check
    }
    notify "$work/bin/tallysv-vrrp-notify $dir/standby.conf"
}
KEEPALIVED
}

start_machine() {
    local me=$1
    local dir=$work/$me
    in_ns "$me" /usr/sbin/sshd -f "$dir/sshd_config"
    in_ns "$me" keepalived -n -l -D -f "$dir/keepalived.conf" -p "$dir/keepalived.pid" -r "$dir/vrrp.pid" \
        -c "$dir/checkers.pid" -i "$me" > "$dir/keepalived.log" 2>&1 &
}

# Every process of the machine's namespace killed at once, as a machine that
# froze: its addresses stay configured.
kill_machine() {
    # Stopped first, so that none of them hears of the others' end (the
    # keepalived child would otherwise say goodbye to the peer).
    local pids
    pids=$(ip netns pids "tsv$1$tag")
    kill -STOP $pids 2> /dev/null
    kill -KILL $pids 2> /dev/null
}

# The zone: the simulator logged in through the floating address from a
# fixed port, started again $retry s after it ends, as a zone retries its
# billing server. Every line it prints goes to zone.log with the time.
start_zone() {
    mkfifo "$work/zone.in"
    exec 7<> "$work/zone.in"
    (
        exec 8<> "$work/zone.in"
        while [ ! -e "$work/zone.stop" ]; do
            echo "player probe probepass --new" >&8
            echo "$(now) zone started" >> "$work/zone.log"
            in_ns zone "$build/tallysv-zone" --server $vip:$port --score-id 7 --group-id 1 --name StandbyZone \
                --password zonepass --local-port 5000 < "$work/zone.in" 2>&1 |
                while IFS= read -r line; do echo "$(now) $line"; done >> "$work/zone.log"
            echo "$(now) zone ended" >> "$work/zone.log"
            sleep $retry
        done
    ) &
    zone_loop=$!
}
zone_say() { echo "$*" >&7; }

# By hand: TALLYSV_REAL_ZONE names a zone folder of a real zone server
# (its billing address the floating one, its retry interval lowered),
# started beside the simulator; what it says of billing is shown after
# each takeover.
start_real_zone() {
    [ -n "${TALLYSV_REAL_ZONE:-}" ] || return 0
    (
        cd "$TALLYSV_REAL_ZONE" || exit 1
        in_ns zone stdbuf -oL -eL bin/asss < /dev/null 2>&1 | while IFS= read -r line; do echo "$(now) $line"; done >> "$work/real_zone.log"
    ) &
}
# A player logs in to the real zone through its chat protocol (its
# ChatListen at $zone_addr:5101), so that the zone sends billing a datagram.
real_zone_player() {
    in_ns zone python3 - "$1" << 'PY' >> "$work/real_zone.log" 2>&1
import socket, sys, time
name = sys.argv[1]
try:
    s = socket.create_connection(("198.18.0.3", 5101), timeout=3)
    s.sendall(("LOGIN:1;standbytest:%s:secret%s\n" % (name, name)).encode())
    s.settimeout(8)
    data = s.recv(4096).decode(errors="replace").strip()
except Exception as e:
    data = "no answer (%s)" % e
print("%.9f chat login of %s: %s" % (time.time(), name, data.splitlines()[0] if data else "nothing"))
PY
}
real_zone_back() {
    awk -v t="$1" '$1 > t && /logged in to user database/ { found = 1 } END { exit !found }' "$work/real_zone.log"
}
report_real_zone() {
    [ -n "${TALLYSV_REAL_ZONE:-}" ] || return 0
    # The zone may take its time: until it has logged in again, 120 s at
    # most; then another player logs in.
    wait_for 120 real_zone_back "$1"
    real_zone_player "q${RANDOM}"
    echo "  real zone, what it said of billing from $(date -u -d "@${1%.*}" +%T) UTC on (seconds after the $2):"
    awk -v t="$1" '$1 > t && tolower($0) ~ /billing|user database|chat login/ { printf "    +%.2fs %s\n", $1 - t, substr($0, index($0, " ") + 1) }' \
        "$work/real_zone.log" | head -20
}
docked_after() {  # the time of the first login reply after $1
    awk -v t="$1" '$1 > t && /login reply for player/ { print $1; exit }' "$work/zone.log"
}
reply_count() {  # login replies after $1 for names matching $2 with result text $3
    awk -v t="$1" -v n="$2" -v r="$3" '$1 > t && /login reply/ && $0 ~ ("\\[" n "\\]") && index($0, r) { c++ } END { print c + 0 }' \
        "$work/zone.log"
}

# The machine's server process, if one is still there (a zombie, or a
# process elsewhere that took its number later, is none).
server_left() {
    local pid
    pid=$(cat "$work/$1/server.pid" 2> /dev/null) || return 0
    [ "$(cat /proc/"$pid"/comm 2> /dev/null)" = tallysv ] || return 0
    [ "$(ip netns identify "$pid" 2> /dev/null)" = "tsv$1$tag" ] || return 0
    ps -o pid=,stat=,etime=,args= -p "$pid" | awk '$2 !~ /^Z/'
}
in_state() { [ "$(state_of "$1")" = "$2" ]; }
docked_since() { [ -n "$(docked_after "$1")" ]; }
replies_at_least() { [ "$(reply_count "$1" "$2" "$3")" -ge "$4" ]; }
current_set_is_not() { [ "$(readlink "$work/$1/received/current" 2> /dev/null)" != "$2" ]; }

one_run() {
    local kind=$1 run=$2
    make_network "$run"
    mkdir -p "$work/bin"
    cp "$source_dir"/packaging/standby/tallysv-* "$work/bin/"
    cat > "$work/bin/stop-server" << 'STOP'
#!/bin/sh
# Stops the server of a machine folder, as systemctl stop does.
pid=$(cat "$1/server.pid" 2> /dev/null) || exit 0
kill -TERM "$pid" 2> /dev/null || exit 0
for _ in $(seq 1 150); do kill -0 "$pid" 2> /dev/null || exit 0; sleep 0.1; done
kill -KILL "$pid" 2> /dev/null
STOP
    chmod 755 "$work/bin/"*
    ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
    cat > "$work/ssh_config" << SSH
Host s1
    HostName $net.1
Host s2
    HostName $net.2
Host *
    Port 2222
    User root
    IdentityFile $work/client_key
    StrictHostKeyChecking no
    UserKnownHostsFile /dev/null
    LogLevel ERROR
    BatchMode yes
    ConnectTimeout 3
SSH
    mkdir -p /run/sshd
    make_machine s1 $net.1 $net.2 s2
    make_machine s2 $net.2 $net.1 s1

    start_machine s1
    wait_for 20 holds_vip s1 || { fail "$kind run $run: s1 never held the address"; cleanup; return; }
    wait_for 20 test -S "$work/s1/data/tallysv.sock" || { fail "$kind run $run: the server on s1 did not start"; cleanup; return; }
    start_machine s2
    wait_for 10 in_state s2 BACKUP || fail "$kind run $run: s2 did not settle as BACKUP"
    in_ns s1 ip route get $zone_addr | grep -q "src $vip" && pass "the master answers zones from the floating address" ||
        fail "the master's route to the zone has not the floating address as source"

    start_zone
    start_real_zone
    local t_start
    t_start=$(now)
    wait_for 20 docked_since "$t_start" || { fail "$kind run $run: the zone never docked"; cleanup; return; }

    local k
    for k in $(seq 1 $accounts_saved); do zone_say "player saved$k pass$k --new --ip 100.64.1.$k"; done
    wait_for 20 replies_at_least "$t_start" 'saved[0-9]+' 'accepted' $accounts_saved ||
        fail "$kind run $run: the accounts were not all made"
    local before_save
    before_save=$(readlink "$work/s2/received/current" 2> /dev/null)
    in_ns s1 "$build/tallysv-ctl" --socket "$work/s1/data/tallysv.sock" save > /dev/null ||
        fail "$kind run $run: the save on s1 failed"
    wait_for 20 current_set_is_not s2 "$before_save" ||
        fail "$kind run $run: the save was not handed to s2"
    for k in $(seq 1 $accounts_late); do zone_say "player late$k pass$k --new --ip 100.64.2.$k"; done
    wait_for 20 replies_at_least "$t_start" 'late[0-9]+' 'accepted' $accounts_late ||
        fail "$kind run $run: the late accounts were not all made"

    local t0
    t0=$(now)
    case $kind in
        kill) kill_machine s1 ;;
        cut) in_ns lan ip link set p1 down ;;
        # The server alone dies; the health check puts the master in FAULT.
        crash) kill -KILL "$(cat "$work/s1/server.pid")" ;;
    esac
    if ! wait_for 30 holds_vip s2; then
        fail "$kind run $run: s2 never took the address"
        cleanup
        return
    fi
    local t_addr
    t_addr=$(now)
    # A player arrives at the real zone as soon as the standby holds the
    # address: the zone's first datagram to billing since the takeover.
    [ -z "${TALLYSV_REAL_ZONE:-}" ] || real_zone_player "p${RANDOM}" &
    wait_for 40 docked_since "$t_addr"
    local t_dock
    t_dock=$(docked_after "$t_addr")
    [ -n "$t_dock" ] || { fail "$kind run $run: the zone did not dock on s2"; cleanup; return; }
    local ended_by
    ended_by=$(awk -v t="$t0" '$1 > t && (/server closed the connection/ || /server stopped answering/) { $1 = ""; print; exit }' \
        "$work/zone.log")

    local t_check
    t_check=$(now)
    for k in $(seq 1 $accounts_saved); do zone_say "player saved$k pass$k --ip 100.64.1.$k"; done
    for k in $(seq 1 $accounts_late); do zone_say "player late$k pass$k --ip 100.64.2.$k"; done
    wait_for 20 replies_at_least "$t_check" '(saved|late)[0-9]+' 'result' $((accounts_saved + accounts_late))
    local saved_in late_in
    saved_in=$(reply_count "$t_check" 'saved[0-9]+' 'accepted')
    late_in=$(reply_count "$t_check" 'late[0-9]+' 'accepted')
    [ "$saved_in" -eq $accounts_saved ] && pass "$kind run $run: every account saved before the takeover logs in on s2" ||
        fail "$kind run $run: $saved_in of $accounts_saved saved accounts log in on s2"
    in_ns s2 ip route get $zone_addr | grep -q "src $vip" && pass "$kind run $run: s2 answers from the floating address" ||
        fail "$kind run $run: s2's route to the zone has not the floating address as source"

    # The old master comes back, as the standby.
    case $kind in
        kill)
            holds_vip s1 && echo "  (s1 still has the address configured while it is down)"
            start_machine s1
            ;;
        cut) in_ns lan ip link set p1 up ;;
        # In FAULT its check passes again (it runs no server there), and it
        # falls to BACKUP by itself.
        crash) ;;
    esac
    wait_for 15 in_state s1 BACKUP
    sleep 3
    if [ "$(state_of s1)" = BACKUP ] && ! holds_vip s1 && holds_vip s2; then
        pass "$kind run $run: s1 came back as the standby without the address"
    else
        fail "$kind run $run: after s1 came back: s1 $(state_of s1), s1 address $(holds_vip s1 && echo yes || echo no), s2 address $(holds_vip s2 && echo yes || echo no)"
    fi
    local left
    left=$(server_left s1)
    [ -z "$left" ] && pass "$kind run $run: no server runs on s1" || fail "$kind run $run: a server still runs on s1: $left"

    printf 'FIGURES %s run %s: address on the standby %ss, zone docked again %ss after the %s, %s of %s accounts saved before the takeover log in on the standby (%s of %s made after the last save); the zone ended its old session by:%s\n' \
        "$kind" "$run" "$(elapsed "$t0" "$t_addr")" "$(elapsed "$t0" "$t_dock")" \
        "$kind" "$saved_in" "$accounts_saved" "$late_in" "$accounts_late" \
        "${ended_by:- nothing seen}"
    report_real_zone "$t0" "$kind"
    touch "$work/zone.stop"
    cleanup
}

run=1
for kind in kill cut crash; do
    case $cases in
        "$kind" | all) ;;
        both) [ "$kind" != crash ] || continue ;;
        *) continue ;;
    esac
    for i in $(seq 1 "$runs"); do one_run $kind $run; run=$((run + 1)); done
done
echo "$passed passed, $failures failed"
[ $failures -eq 0 ] || exit 1
exit 0
