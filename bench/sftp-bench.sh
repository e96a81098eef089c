#!/usr/bin/env bash
# bench/sftp-bench.sh [build folder] [rounds]: upload throughput of TSshSFtp against OpenSSH's
# own sftp client, to an OpenSSH sshd started for the purpose (tests/servers/sshd-start.sh).
#   1. loopback: 500 MiB and 50 MiB of random bytes;
#   2. 50 MiB across links of 40 ms and 100 ms round trip: a network namespace of this
#      script's own in which every packet on lo is held half the round trip by nfq-delay
#      (NFQUEUE; netem is not in this kernel), so both directions add up to the round trip.
# One run of each client in turn per round; wall times include connect and login for both.
# Prints every run with the load average, the algorithms each client negotiated, the CPU
# seconds of the client and of the server (the sshd and its sessions), the medians and a
# summary. Sizes and links: LOOP_MIB="500 50", FAR_MIB=50, RTTS="40 100" (ms);
# SERVER_CIPHERS=aes128-gcm@openssh.com makes the server offer only those ciphers.
# Needs root, iptables and the nfq-delay tool (libnetfilter-queue-dev at build time).
# Everything it starts is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)
rounds=${2:-3}
loop_mib=${LOOP_MIB-500 50}
far_mib=${FAR_MIB:-50}
rtts=${RTTS-40 100}
upload=$build/bench/sftp/sftp-upload
delay=$build/bench/sftp/nfq-delay
for f in "$upload" "$delay"; do
    [ -x "$f" ] || {
        echo "missing $f (build the bench targets; nfq-delay needs libnetfilter-queue-dev)" >&2
        exit 1
    }
done
command -v iptables-legacy >/dev/null || {
    echo "iptables-legacy is missing (scripts/deps test)" >&2
    exit 1
}

work=$(mktemp -d /tmp/norvex-sftp-bench.XXXXXX)
chmod 755 "$work" # sshd reads authorized_keys as the test user
ns=norvex-sftp-bench-$$
delay_pid=
summary=()
cpu_groups=()
cleanup() {
    "$root/tests/servers/sshd-stop.sh" "$work/lo" || true
    "$root/tests/servers/sshd-stop.sh" "$work/ns" || true
    [ -n "$delay_pid" ] && kill "$delay_pid" 2>/dev/null
    ip netns del "$ns" 2>/dev/null || true
    for g in "${cpu_groups[@]}"; do rmdir "$g" 2>/dev/null || true; done
    if [ -n "${target:-}" ]; then
        umount "$target" 2>/dev/null || rm -f "$target"/*.bin
        rmdir "$target" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
load() { cut -d' ' -f1 /proc/loadavg; }
# The server's CPU time: each sshd goes into a CPU accounting group of its own (cgroup v1
# cpuacct, or v2), which its session processes inherit.
cpu_group() { # STATE_DIR: puts that sshd into a group, remembered in STATE_DIR/cpugroup
    local g
    for base in /sys/fs/cgroup/cpuacct /sys/fs/cgroup/unified /sys/fs/cgroup; do
        g=$base/norvex-sftp-bench-$$-$(basename "$1")
        if mkdir "$g" 2>/dev/null && echo "$SSHD_PID" >"$g/cgroup.procs" 2>/dev/null; then
            echo "$g" >"$1/cpugroup"
            cpu_groups+=("$g")
            return
        fi
        rmdir "$g" 2>/dev/null || true
    done
}
server_cpu() { # STATE_DIR: CPU seconds of that sshd and its sessions so far; ? without a group
    local g
    g=$(cat "$1/cpugroup" 2>/dev/null) || { echo "?"; return; }
    if [ -r "$g/cpuacct.usage" ]; then
        awk '{ printf "%.2f", $1 / 1e9 }' "$g/cpuacct.usage"
    else
        awk '/^usage_usec/ { printf "%.2f", $2 / 1e6 }' "$g/cpu.stat"
    fi
}
cpu_diff() { [ "$1" = "?" ] || [ "$2" = "?" ] && echo "?" || awk "BEGIN { printf \"%.2f\", $2 - $1 }"; }

# openssh_algorithms STATE_DIR [COMMAND PREFIX...]: what OpenSSH's client negotiates with
# this server, from its own debug output (one extra connection, not timed).
openssh_algorithms() {
    local state=$1 key
    shift
    key=$SSHD_KEYS/id_ed25519
    echo pwd | "$@" sftp -v -b - -i "$key" -P "$SSHD_PORT" -o BatchMode=yes \
        -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
        "$SSHD_USER@127.0.0.1" 2>&1 >/dev/null | awk '
        /kex: algorithm:/ { kex = $NF }
        /kex: client->server cipher:/ { cipher = $5; mac = $7 }
        END { printf "kex=%s cipher=%s mac=%s", kex, cipher, mac }'
}

# run_pair LABEL FILE STATE_DIR [COMMAND PREFIX...]: rounds of ours and OpenSSH's, medians.
run_pair() {
    local label=$1 file=$2 state=$3
    shift 3
    # shellcheck disable=SC1091
    . "$state/sshd.env"
    local key=$SSHD_KEYS/id_ed25519 ours=() theirs=() loads=() t0 t1 sum l0 s0 cpu_ours cpu_theirs
    mkdir -p "$state/home"
    sum=$(sha256sum <"$file" | cut -d' ' -f1)
    echo "$label: OpenSSH sftp negotiates $(openssh_algorithms "$state" "$@")"
    for r in $(seq 1 "$rounds"); do
        rm -f "$target"/*.bin
        l0=$(load)
        s0=$(server_cpu "$state")
        t0=$(now)
        "$@" /usr/bin/time -f '%U %S' -o "$state/ours.cpu" env NORVEX_HOME="$state/home/" \
            "$upload" 127.0.0.1 "$SSHD_PORT" "$SSHD_USER" "$key" "$file" norvex-bench/ours.bin \
            >"$state/ours.out"
        t1=$(now)
        ours+=("$(calc "$t1 - $t0")")
        sleep 0.2 # the server's session ends after the client
        cpu_ours="client $(awk '{ printf "%.2f", $1 + $2 }' "$state/ours.cpu") s, server $(cpu_diff "$s0" "$(server_cpu "$state")") s"
        [ "$(sha256sum <"$target/ours.bin" | cut -d' ' -f1)" = "$sum" ] || {
            echo "uploaded file differs" >&2
            exit 1
        }
        s0=$(server_cpu "$state")
        t0=$(now)
        echo "put $file norvex-bench/openssh.bin" | "$@" /usr/bin/time -f '%U %S' \
            -o "$state/theirs.cpu" sftp -q -b - -i "$key" -P "$SSHD_PORT" \
            -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
            -o LogLevel=ERROR "$SSHD_USER@127.0.0.1" >/dev/null
        t1=$(now)
        theirs+=("$(calc "$t1 - $t0")")
        sleep 0.2
        cpu_theirs="client $(awk '{ printf "%.2f", $1 + $2 }' "$state/theirs.cpu") s, server $(cpu_diff "$s0" "$(server_cpu "$state")") s"
        loads+=("$l0-$(load)")
        printf '%s round %d (load %s): ours %.2f s (%s; CPU %s), OpenSSH sftp %.2f s (CPU %s)\n' \
            "$label" "$r" "${loads[-1]}" "${ours[-1]}" "$(cat "$state/ours.out")" "$cpu_ours" \
            "${theirs[-1]}" "$cpu_theirs"
    done
    local mo mt bytes line
    mo=$(median "${ours[@]}")
    mt=$(median "${theirs[@]}")
    bytes=$(stat -c %s "$file")
    line=$(printf '%-22s ours %6.2f s %7.1f MB/s   OpenSSH %6.2f s %7.1f MB/s   ratio %.2f x   load %s' \
        "$label" "$mo" "$(calc "$bytes / $mo / 1000000")" "$mt" \
        "$(calc "$bytes / $mt / 1000000")" "$(calc "$mt / $mo")" "${loads[*]}")
    echo "$line"
    summary+=("$line")
}

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)," \
    "AES instructions: $(grep -qw aes /proc/cpuinfo && echo yes || echo no)"
biggest=$far_mib
for m in $loop_mib; do [ "$m" -gt "$biggest" ] && biggest=$m; done
echo "making test files"
head -c $((biggest * 1024 * 1024)) /dev/urandom >"$work/data.bin"
for m in $loop_mib $far_mib; do
    [ -e "$work/$m.bin" ] || head -c $((m * 1024 * 1024)) "$work/data.bin" >"$work/$m.bin"
done

"$root/tests/servers/sshd-start.sh" "$work/lo" >/dev/null
# shellcheck disable=SC1091
. "$work/lo/sshd.env"
cpu_group "$work/lo"
if [ -n "${SERVER_CIPHERS:-}" ]; then
    # Before the Match blocks at the end; sshd reads its configuration again on SIGHUP.
    for d in "$work/lo" "$work/lo/kbd"; do sed -i "1i Ciphers $SERVER_CIPHERS" "$d/sshd_config"; done
    kill -HUP "$SSHD_PID"
    sleep 1
fi
# The server writes into memory, so the disk (shared with other work) is out of the
# figures; plain files in the home folder where mounting is not allowed. Mounted before the
# namespace's sshd starts, which would not see a later mount.
target=$SSHD_HOME/norvex-bench
mkdir -p "$target"
mount -t tmpfs -o size=1200m,mode=0777 tmpfs "$target" 2>/dev/null ||
    echo "(tmpfs not available: the server writes to disk)"
chmod 777 "$target"
for m in $loop_mib; do
    run_pair "loopback $m MiB" "$work/$m.bin" "$work/lo"
done
"$root/tests/servers/sshd-stop.sh" "$work/lo"

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" iptables-legacy -A INPUT -i lo -j NFQUEUE --queue-num 0 --queue-bypass
ip netns exec "$ns" "$root/tests/servers/sshd-start.sh" "$work/ns" >/dev/null
# shellcheck disable=SC1091
. "$work/ns/sshd.env"
cpu_group "$work/ns"
if [ -n "${SERVER_CIPHERS:-}" ]; then
    sed -i "1i Ciphers $SERVER_CIPHERS" "$work/ns/sshd_config"
    kill -HUP "$SSHD_PID"
    sleep 1
fi
for rtt in $rtts; do
    # Each packet passes INPUT once: half the round trip per direction.
    ip netns exec "$ns" "$delay" 0 $((rtt / 2)) 3600 &
    delay_pid=$!
    sleep 0.3
    measured=$(ip netns exec "$ns" python3 -c "
import socket, time
t = time.monotonic(); s = socket.create_connection(('127.0.0.1', $SSHD_PORT)); d = time.monotonic() - t
print('%.1f' % (d * 1000))")
    echo "$rtt ms link: TCP connect inside the namespace took $measured ms"
    run_pair "$rtt ms RTT $far_mib MiB" "$work/$far_mib.bin" "$work/ns" ip netns exec "$ns"
    kill "$delay_pid"
    wait "$delay_pid" 2>/dev/null || true
    delay_pid=
done

echo
echo "summary (medians of $rounds rounds; ratio = OpenSSH's time / ours; load before-after each round):"
printf '%s\n' "${summary[@]}"
