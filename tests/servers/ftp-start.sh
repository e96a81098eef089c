#!/usr/bin/env bash
# ftp-start.sh STATE_DIR: starts pyftpdlib and pure-ftpd on free ports of 127.0.0.1 for the
# FTP tests and writes STATE_DIR/servers.env (ports, roots, user, password). Runs as root
# without systemd; ftp-stop.sh STATE_DIR stops both again.
set -euo pipefail
. "$(dirname "$0")/as-root.sh"
state=${1:?state folder}
here=$(cd "$(dirname "$0")" && pwd)
"$here/ftp-stop.sh" "$state" >/dev/null 2>&1 || true
rm -rf "$state"
mkdir -p "$state"
state=$(cd "$state" && pwd)
trap 'echo "ftp-start: failed, stopping what was started" >&2; "$here/ftp-stop.sh" "$state"' ERR

py=/usr/bin/python3
user=norvex
password='Ftp-secret-42'
free_port() {
  "$py" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_listening() { # port pidfile log
  for _ in $(seq 100); do
    if "$py" -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2).close()" 2>/dev/null; then
      return 0
    fi
    kill -0 "$(cat "$2")" 2>/dev/null || { echo "server died:" >&2; cat "$3" >&2; return 1; }
    sleep 0.1
  done
  echo "no server on port $1:" >&2; cat "$3" >&2
  return 1
}

[ -x "$py" ] && "$py" -c 'import pyftpdlib' || { echo "ftp-start: pyftpdlib missing (scripts/deps test)" >&2; exit 1; }
command -v pure-ftpd >/dev/null && command -v pure-pw >/dev/null \
  || { echo "ftp-start: pure-ftpd missing (scripts/deps test)" >&2; exit 1; }

# pyftpdlib
py_root=$state/pyftpdlib-root
mkdir -p "$py_root"
chown "$SERVER_OWNER_UID:$SERVER_OWNER_GID" "$py_root"
py_port=$(free_port)
# It writes as the contributor who runs the tests (root in CI).
setsid setpriv --reuid="$SERVER_OWNER_UID" --regid="$SERVER_OWNER_GID" --clear-groups \
  "$py" "$here/ftp-pyftpdlib.py" "$py_port" "$py_root" "$user" "$password" \
  >"$state/pyftpdlib.log" 2>&1 </dev/null &
echo $! >"$state/pyftpdlib.pid"
wait_listening "$py_port" "$state/pyftpdlib.pid" "$state/pyftpdlib.log"

# pure-ftpd: a virtual user mapped to nobody (for root) or to the contributor, chrooted into
# its root.
pure_uid=65534 pure_gid=65534
[ "$SERVER_OWNER_UID" -ne 0 ] && pure_uid=$SERVER_OWNER_UID pure_gid=$SERVER_OWNER_GID
pure_root=$state/pure-ftpd-root
mkdir -p "$pure_root"
chown "$pure_uid:$pure_gid" "$pure_root"
# SHA-512 crypt hash, made with Debian's Python (the openssl tool is not a dependency).
hash=$("$py" -W ignore -c 'import crypt,sys; print(crypt.crypt(sys.argv[1], crypt.mksalt(crypt.METHOD_SHA512)))' "$password")
echo "$user:$hash:$pure_uid:$pure_gid::$pure_root/./::::::::::::" >"$state/pureftpd.passwd"
pure-pw mkdb "$state/pureftpd.pdb" -f "$state/pureftpd.passwd" >/dev/null
pure_port=$(free_port)
setsid pure-ftpd -S "127.0.0.1,$pure_port" -4 -l "puredb:$state/pureftpd.pdb" -E -H -A -c 100 \
  >"$state/pure-ftpd.log" 2>&1 </dev/null &
echo $! >"$state/pure-ftpd.pid"
wait_listening "$pure_port" "$state/pure-ftpd.pid" "$state/pure-ftpd.log"

cat >"$state/servers.env" <<ENV
FTP_USER=$user
FTP_PASSWORD=$password
PYFTPD_PORT=$py_port
PYFTPD_ROOT=$py_root
PUREFTPD_PORT=$pure_port
PUREFTPD_ROOT=$pure_root
ENV
if [ "$SERVER_OWNER_UID" -ne 0 ]; then
  chown "$SERVER_OWNER_UID:$SERVER_OWNER_GID" "$state" "$state/servers.env" \
    "$state"/*.log "$state"/*.pid
fi
echo "ftp-start: pyftpdlib on $py_port, pure-ftpd on $pure_port"
