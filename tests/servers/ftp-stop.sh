#!/usr/bin/env bash
# ftp-stop.sh STATE_DIR: stops the servers ftp-start.sh STATE_DIR started.
set -uo pipefail
. "$(dirname "$0")/as-root.sh"
state=${1:?state folder}
# Alive and not a zombie waiting for its (foreign) parent to reap it.
alive() { kill -0 "$1" 2>/dev/null && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat" 2>/dev/null; }
for name in pyftpdlib pure-ftpd pyftpdlib6 pure-ftpd-tls vsftpd vsftpd6; do
  pidfile=$state/$name.pid
  [ -f "$pidfile" ] || continue
  pid=$(cat "$pidfile")
  # Each server was started with setsid: its group holds its session children too.
  if alive "$pid"; then
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
    kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
  fi
  rm -f "$pidfile"
done
# vsftpd's root when it could not lie in the state folder (ftp-start.sh)
if [ -f "$state/vsftpd-base" ]; then
  base=$(cat "$state/vsftpd-base")
  case $base in /tmp/norvex-vsftpd.*) rm -rf "$base" ;; esac
  rm -f "$state/vsftpd-base"
fi
rm -f "$state/servers.env"
exit 0
