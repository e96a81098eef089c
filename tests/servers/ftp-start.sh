#!/usr/bin/env bash
# ftp-start.sh STATE_DIR: starts the FTP servers of the tests on free loopback ports and
# writes STATE_DIR/servers.env (ports, roots, user, password, certificate):
#   pyftpdlib and pure-ftpd on 127.0.0.1, clear text;
#   vsftpd and pure-ftpd on 127.0.0.1 with TLS required for the login and the data
#   connections, and (vsftpd) data connections required to resume the control session;
#   pyftpdlib on ::1, and the TLS vsftpd on ::1 too (same root).
# The TLS servers share one self-signed certificate made here. Runs as root without
# systemd; ftp-stop.sh STATE_DIR stops them all again.
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
free_port() { # [address]
  "$py" -c 'import socket,sys; a=sys.argv[1]; s=socket.socket(socket.AF_INET6 if ":" in a else socket.AF_INET); s.bind((a,0)); print(s.getsockname()[1])' "${1:-127.0.0.1}"
}
wait_listening() { # port pidfile log [address]
  for _ in $(seq 100); do
    if "$py" -c "import socket,sys; socket.create_connection(('${4:-127.0.0.1}',$1),0.2).close()" 2>/dev/null; then
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
# vsftpd conflicts with pure-ftpd as a Debian package: scripts/deps unpacks it here.
vsftpd=/opt/norvex-test/vsftpd/usr/sbin/vsftpd
[ -x "$vsftpd" ] || { echo "ftp-start: $vsftpd missing (scripts/deps test)" >&2; exit 1; }
command -v openssl >/dev/null || { echo "ftp-start: openssl missing (scripts/deps test)" >&2; exit 1; }

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

# pyftpdlib on ::1
py6_root=$state/pyftpdlib6-root
mkdir -p "$py6_root"
chown "$SERVER_OWNER_UID:$SERVER_OWNER_GID" "$py6_root"
py6_port=$(free_port ::1)
setsid setpriv --reuid="$SERVER_OWNER_UID" --regid="$SERVER_OWNER_GID" --clear-groups \
  "$py" "$here/ftp-pyftpdlib.py" "$py6_port" "$py6_root" "$user" "$password" ::1 \
  >"$state/pyftpdlib6.log" 2>&1 </dev/null &
echo $! >"$state/pyftpdlib6.pid"
wait_listening "$py6_port" "$state/pyftpdlib6.pid" "$state/pyftpdlib6.log" ::1

# The TLS servers' certificate: self-signed, so clients trust it on first use.
openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=localhost/O=Norvex tests" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" \
  -keyout "$state/ftps.key" -out "$state/ftps.crt" 2>/dev/null
cat "$state/ftps.key" "$state/ftps.crt" >"$state/ftps.pem"
chmod 600 "$state/ftps.key" "$state/ftps.pem"

# pure-ftpd with TLS required for the login and the data connections (-Y 3).
pures_root=$state/pure-ftpd-tls-root
mkdir -p "$pures_root"
chown "$pure_uid:$pure_gid" "$pures_root"
echo "$user:$hash:$pure_uid:$pure_gid::$pures_root/./::::::::::::" >"$state/pureftpd-tls.passwd"
pure-pw mkdb "$state/pureftpd-tls.pdb" -f "$state/pureftpd-tls.passwd" >/dev/null
pures_port=$(free_port)
setsid pure-ftpd -S "127.0.0.1,$pures_port" -4 -l "puredb:$state/pureftpd-tls.pdb" -E -H -A -c 100 \
  -Y 3 -2 "$state/ftps.pem" >"$state/pure-ftpd-tls.log" 2>&1 </dev/null &
echo $! >"$state/pure-ftpd-tls.pid"
wait_listening "$pures_port" "$state/pure-ftpd-tls.pid" "$state/pure-ftpd-tls.log"

# vsftpd logs in system users through PAM: the test user is one (root: an account of its
# own; a contributor: a second name of their own account, so what it writes is theirs).
# vsftpd enters the account's home before it changes to local_root and chroots there: the
# home is "/", so that fixtures of several build trees can share the account.
mkdir -p "$state/vsftpd-empty"
if [ "$SERVER_OWNER_UID" -eq 0 ]; then
  if ! id "$user" >/dev/null 2>&1; then
    useradd -M -d / -s /bin/bash "$user"
  elif [ "$(getent passwd "$user" | cut -d: -f6)" != / ]; then
    usermod -d / "$user"
  fi
else
  have=$(getent passwd "$user" | cut -d: -f3,4 || true)
  if [ "$have" != "$SERVER_OWNER_UID:$SERVER_OWNER_GID" ]; then
    [ -z "$have" ] || userdel -f "$user" 2>/dev/null
    useradd -o -u "$SERVER_OWNER_UID" -g "$SERVER_OWNER_GID" -M -d / -s /bin/bash "$user"
  fi
fi
echo "$user:$password" | chpasswd
# vsftpd enters its root as that user: when the state folder lies in a folder the user may
# not pass (a home of mode 0700, mktemp's folders), the root goes to a folder of its own.
vs_base=$state
if ! setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --clear-groups test -x "$state"; then
  vs_base=$(mktemp -d /tmp/norvex-vsftpd.XXXXXX)
  chmod 755 "$vs_base"
  echo "$vs_base" >"$state/vsftpd-base"
fi
vs_root=$vs_base/vsftpd-root
mkdir -p "$vs_root"
# The system's password check without vsftpd's own list of refused users.
pam=/etc/pam.d/norvex-test-vsftpd
[ -f $pam ] || printf '@include common-auth\n@include common-account\n@include common-session\n' >$pam
chown "$(id -u "$user"):$(id -g "$user")" "$vs_root"
vs_port=$(free_port)
cat >"$state/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$vs_port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$vs_root
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir=$state/vsftpd-empty
pam_service_name=norvex-test-vsftpd
userlist_enable=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
pasv_enable=YES
port_enable=YES
connect_from_port_20=NO
ssl_enable=YES
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
strict_ssl_read_eof=YES
rsa_cert_file=$state/ftps.crt
rsa_private_key_file=$state/ftps.key
vsftpd_log_file=$state/vsftpd.log
xferlog_enable=YES
log_ftp_protocol=YES
CONF
# It writes its start-up failures ("500 OOPS: ...") to standard input.
setsid "$vsftpd" "$state/vsftpd.conf" <>"$state/vsftpd.out" >&0 2>&1 &
echo $! >"$state/vsftpd.pid"
wait_listening "$vs_port" "$state/vsftpd.pid" "$state/vsftpd.out"
# The same server on ::1 (vsftpd listens on one family per instance).
vs6_port=$(free_port ::1)
sed -e 's/^listen=YES$/listen=NO\nlisten_ipv6=YES/' -e 's/^listen_address=.*/listen_address6=::1/' \
  -e "s/^listen_port=.*/listen_port=$vs6_port/" -e 's#/vsftpd\.log$#/vsftpd6.log#' \
  "$state/vsftpd.conf" >"$state/vsftpd6.conf"
setsid "$vsftpd" "$state/vsftpd6.conf" <>"$state/vsftpd6.out" >&0 2>&1 &
echo $! >"$state/vsftpd6.pid"
wait_listening "$vs6_port" "$state/vsftpd6.pid" "$state/vsftpd6.out" ::1

cat >"$state/servers.env" <<ENV
FTP_USER=$user
FTP_PASSWORD=$password
PYFTPD_PORT=$py_port
PYFTPD_ROOT=$py_root
PUREFTPD_PORT=$pure_port
PUREFTPD_ROOT=$pure_root
FTPS_VSFTPD_PORT=$vs_port
FTPS_VSFTPD_ROOT=$vs_root
FTPS6_VSFTPD_PORT=$vs6_port
FTPS_PURE_PORT=$pures_port
FTPS_PURE_ROOT=$pures_root
FTPS_CERT=$state/ftps.crt
FTP6_PORT=$py6_port
FTP6_ROOT=$py6_root
ENV
if [ "$SERVER_OWNER_UID" -ne 0 ]; then
  chown "$SERVER_OWNER_UID:$SERVER_OWNER_GID" "$state" "$state/servers.env" \
    "$state"/*.log "$state"/*.pid "$state/ftps.crt"
fi
echo "ftp-start: pyftpdlib on $py_port, pure-ftpd on $pure_port, TLS: vsftpd on $vs_port," \
  "pure-ftpd on $pures_port; pyftpdlib on [::1]:$py6_port"
