#!/usr/bin/env bash
# bench/sftp-bench.sh [build folder] [rounds]: upload throughput of TSshSFtp against OpenSSH's
# own sftp client, to an OpenSSH sshd started for the purpose (tests/servers/sshd-start.sh).
#   1. 500 MiB of random bytes over loopback;
#   2. 50 MiB across a 40 ms round-trip link: a network namespace of this script's own in
#      which every packet on lo is held 20 ms by nfq-delay (NFQUEUE; netem is not in this
#      kernel), so both directions add up to 40 ms.
# One run of each client in turn per round; wall times include connect and login for both.
# Prints every run and the medians. Needs root, iptables and the nfq-delay tool
# (libnetfilter-queue-dev at build time). Everything it starts is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)
rounds=${2:-3}
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
cleanup() {
    "$root/tests/servers/sshd-stop.sh" "$work/lo" || true
    "$root/tests/servers/sshd-stop.sh" "$work/ns" || true
    [ -n "$delay_pid" ] && kill "$delay_pid" 2>/dev/null
    ip netns del "$ns" 2>/dev/null || true
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

# run_pair LABEL FILE STATE_DIR [COMMAND PREFIX...]: rounds of ours and OpenSSH's, medians.
run_pair() {
    local label=$1 file=$2 state=$3
    shift 3
    # shellcheck disable=SC1091
    . "$state/sshd.env"
    if [ -z "${target:-}" ]; then
        # The server writes into memory, so the disk (shared with other work) is out of
        # the figures; plain files in the home folder where mounting is not allowed.
        target=$SSHD_HOME/norvex-bench
        mkdir -p "$target"
        mount -t tmpfs -o size=1200m,mode=0777 tmpfs "$target" 2>/dev/null ||
            echo "(tmpfs not available: the server writes to disk)"
        chmod 777 "$target"
    fi
    local key=$SSHD_KEYS/id_ed25519 ours=() theirs=() t0 t1 sum
    mkdir -p "$state/home"
    sum=$(sha256sum <"$file" | cut -d' ' -f1)
    for r in $(seq 1 "$rounds"); do
        rm -f "$target"/*.bin
        t0=$(now)
        "$@" env NORVEX_HOME="$state/home/" "$upload" 127.0.0.1 "$SSHD_PORT" "$SSHD_USER" "$key" \
            "$file" norvex-bench/ours.bin >"$state/ours.out"
        t1=$(now)
        ours+=("$(calc "$t1 - $t0")")
        [ "$(sha256sum <"$target/ours.bin" | cut -d' ' -f1)" = "$sum" ] || {
            echo "uploaded file differs" >&2
            exit 1
        }
        t0=$(now)
        echo "put $file norvex-bench/openssh.bin" | "$@" sftp -q -b - -i "$key" -P "$SSHD_PORT" \
            -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
            -o LogLevel=ERROR "$SSHD_USER@127.0.0.1" >/dev/null
        t1=$(now)
        theirs+=("$(calc "$t1 - $t0")")
        printf '%s round %d: ours %.2f s (%s), OpenSSH sftp %.2f s\n' "$label" "$r" \
            "${ours[-1]}" "$(cat "$state/ours.out")" "${theirs[-1]}"
    done
    local mo mt bytes
    mo=$(median "${ours[@]}")
    mt=$(median "${theirs[@]}")
    bytes=$(stat -c %s "$file")
    printf '%s median: ours %.2f s (%.1f MB/s), OpenSSH sftp %.2f s (%.1f MB/s), ratio %.2f x\n' \
        "$label" "$mo" "$(calc "$bytes / $mo / 1000000")" "$mt" \
        "$(calc "$bytes / $mt / 1000000")" "$(calc "$mt / $mo")"
}

echo "making test files"
head -c $((500 * 1024 * 1024)) /dev/urandom >"$work/500M.bin"
head -c $((50 * 1024 * 1024)) "$work/500M.bin" >"$work/50M.bin"

"$root/tests/servers/sshd-start.sh" "$work/lo" >/dev/null
run_pair "loopback 500 MiB" "$work/500M.bin" "$work/lo"
"$root/tests/servers/sshd-stop.sh" "$work/lo"

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" iptables-legacy -A INPUT -i lo -j NFQUEUE --queue-num 0 --queue-bypass
ip netns exec "$ns" "$delay" 0 20 3600 &
delay_pid=$!
sleep 0.3
ip netns exec "$ns" "$root/tests/servers/sshd-start.sh" "$work/ns" >/dev/null
# shellcheck disable=SC1091
. "$work/ns/sshd.env"
rtt=$(ip netns exec "$ns" python3 -c "
import socket, time
t = time.monotonic(); s = socket.create_connection(('127.0.0.1', $SSHD_PORT)); d = time.monotonic() - t
print('%.1f' % (d * 1000))")
echo "40 ms link: TCP connect inside the namespace took $rtt ms"
run_pair "40 ms RTT 50 MiB" "$work/50M.bin" "$work/ns" ip netns exec "$ns"
