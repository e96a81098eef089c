#!/usr/bin/env bash
# sshd-stop.sh <state folder>: stops the sshd that sshd-start.sh started there (TERM, then
# KILL), together with its session processes. Succeeds when none is running.
set -uo pipefail
. "$(dirname "$0")/as-root.sh"

dir=${1:?state folder}
# The keyboard-interactive server beside it first.
[ -d "$dir/kbd" ] && "$0" "$dir/kbd"
pidfile=$dir/sshd.pid
[ -s "$pidfile" ] || exit 0
pid=$(cat "$pidfile")

# Only a process that is that sshd with that configuration is ours to stop.
if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "sshd_config"; then
    # Session processes (privileged monitor and its child), found before the parent goes.
    children=$(ps -e -o pid=,ppid= | awk -v root="$pid" '
        { parent[$1] = $2 }
        END { for (p in parent) { q = parent[p]; while (q != "" && q != root && q > 1) q = parent[q]; if (q == root) print p } }')
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    for c in $children; do
        kill -CONT "$c" 2>/dev/null
        kill -KILL "$c" 2>/dev/null
    done
fi
rm -f "$pidfile"
exit 0
