#!/usr/bin/env bash
# sshd-start.sh <state folder>: starts an OpenSSH sshd on 127.0.0.1 for the SFTP tests,
# with its own configuration (OpenSSH's default algorithms), host keys and test user, and
# makes the client keys the tests log in with (ssh-keygen and puttygen, fresh each time).
# A second sshd (folder kbd/) takes the password only as keyboard-interactive (PAM).
# Writes <state folder>/sshd.env (KEY=value lines) for the tests. Stop with sshd-stop.sh.
set -euo pipefail
. "$(dirname "$0")/as-root.sh"

dir=${1:?state folder}
password=Sftp-Test-Pw1

for tool in /usr/sbin/sshd ssh-keygen puttygen python3; do
    command -v "$tool" >/dev/null || {
        echo "sshd-start: $tool is missing (run scripts/deps test)" >&2
        exit 1
    }
done

# A server left by an earlier run that did not clean up.
"$(dirname "$0")/sshd-stop.sh" "$dir" || true
rm -rf "$dir"
mkdir -p "$dir/keys" "$dir/host"
dir=$(cd "$dir" && pwd)

if [ "$SERVER_OWNER_UID" -eq 0 ]; then
    user=${NORVEX_SFTP_USER:-norvexsftp}
    id "$user" >/dev/null 2>&1 || useradd -m -s /bin/bash "$user"
    home=$(getent passwd "$user" | cut -d: -f6)
else
    # For a contributor the test user is a second name of their own account, with its home in
    # the state folder: what the server writes is theirs to read, their password untouched.
    user=${NORVEX_SFTP_USER:-norvexsftp$SERVER_OWNER_UID}
    home=$dir/home
    # usermod refuses an account whose uid has processes, which the contributor's always
    # has: an account of another build tree is made anew instead.
    have=$(getent passwd "$user" | cut -d: -f3,4,6 || true)
    if [ "$have" != "$SERVER_OWNER_UID:$SERVER_OWNER_GID:$home" ]; then
        [ -z "$have" ] || userdel -f "$user" 2>/dev/null
        useradd -o -u "$SERVER_OWNER_UID" -g "$SERVER_OWNER_GID" -M -d "$home" -s /bin/bash "$user"
    fi
fi
echo "$user:$password" | chpasswd
mkdir -p "$home"
chown "$(id -u "$user"):$(id -g "$user")" "$home"

for t in ed25519 ecdsa rsa; do
    ssh-keygen -q -t $t -N '' -C "host-$t" -f "$dir/host/ssh_host_${t}_key"
done

# Client keys. The ones the server accepts go into authorized_keys.
k=$dir/keys
ssh-keygen -q -t ed25519 -N '' -C ed25519 -f "$k/id_ed25519"
ssh-keygen -q -t rsa -b 3072 -N '' -C rsa -f "$k/id_rsa"
ssh-keygen -q -t ecdsa -b 256 -N '' -C ecdsa -f "$k/id_ecdsa"
ssh-keygen -q -t rsa -b 2048 -m PEM -N '' -C rsa-pem -f "$k/id_rsa_pem"
ssh-keygen -q -t ecdsa -b 384 -m PKCS8 -N '' -C ecdsa-pkcs8 -f "$k/id_ecdsa_pkcs8"
ssh-keygen -q -t rsa -b 2048 -m PKCS8 -N '' -C rsa-pkcs8 -f "$k/id_rsa_pkcs8"
ssh-keygen -q -t ecdsa -b 521 -N '' -C ecdsa521 -f "$k/id_ecdsa521"
ssh-keygen -q -t ed25519 -N '' -C unauthorized -f "$k/id_unauthorized"
ssh-keygen -q -t ed25519 -N 'secret words' -C encrypted -f "$k/id_encrypted"
ssh-keygen -q -t rsa -b 2048 -m PEM -N 'secret words' -C encrypted-pem -f "$k/id_encrypted_pem"
printf 'secret words\n' >"$dir/passphrase"

puttygen -q -t rsa -b 2048 -C ppk-rsa --new-passphrase /dev/null -o "$k/rsa.v3.ppk"
puttygen -q -t ed25519 -C ppk-ed25519 --new-passphrase /dev/null -o "$k/ed25519.v3.ppk"
puttygen -q -t ecdsa -b 256 -C ppk-ecdsa256 --new-passphrase /dev/null -o "$k/ecdsa256.v3.ppk"
puttygen -q -t ecdsa -b 384 -C ppk-ecdsa384 --new-passphrase /dev/null -o "$k/ecdsa384.v3.ppk"
puttygen -q -t ecdsa -b 521 -C ppk-ecdsa521 --new-passphrase /dev/null -o "$k/ecdsa521.v3.ppk"
for n in rsa ed25519 ecdsa256 ecdsa384 ecdsa521; do
    puttygen "$k/$n.v3.ppk" --old-passphrase /dev/null --new-passphrase /dev/null \
        --reencrypt --ppk-param version=2 -o "$k/$n.v2.ppk"
done
puttygen "$k/ed25519.v3.ppk" -P --old-passphrase /dev/null --new-passphrase "$dir/passphrase" \
    -o "$k/encrypted.v3.ppk"
puttygen "$k/rsa.v3.ppk" -P --old-passphrase /dev/null --new-passphrase "$dir/passphrase" \
    --ppk-param version=2 -o "$k/encrypted.v2.ppk"
printf 'These are notes, not a key.\nline two\n' >"$k/not-a-key.txt"

auth=$dir/authorized_keys
: >"$auth"
for n in id_ed25519 id_rsa id_ecdsa id_ecdsa521 id_rsa_pem id_ecdsa_pkcs8 id_rsa_pkcs8; do
    cat "$k/$n.pub" >>"$auth"
done
for n in rsa ed25519 ecdsa256 ecdsa384 ecdsa521; do
    puttygen "$k/$n.v3.ppk" --old-passphrase /dev/null -O public-openssh -o "$k/$n.pub"
    cat "$k/$n.pub" >>"$auth"
done
chmod 644 "$auth"
chmod 600 "$k"/*

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# The same server on ::1 where the loopback has IPv6.
if python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
    ipv6=1
    listen6="ListenAddress ::1"
    family=any
    allow6="$user@::1"
else
    ipv6=0 listen6="" family=inet allow6=""
fi

cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
$listen6
AddressFamily $family
Port $port
HostKey $dir/host/ssh_host_ed25519_key
HostKey $dir/host/ssh_host_ecdsa_key
HostKey $dir/host/ssh_host_rsa_key
PidFile $dir/sshd.pid
UsePAM no
StrictModes no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication yes
AuthorizedKeysFile $auth
Subsystem sftp internal-sftp
ForceCommand internal-sftp
AllowUsers $user@127.0.0.1 $allow6
PermitRootLogin no
DisableForwarding yes
PermitTTY no
MaxStartups 50:30:100
LogLevel VERBOSE
EOF

# A second server that takes passwords only as keyboard-interactive, through PAM.
kbd_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$dir/kbd"
sed -e "s|^Port .*|Port $kbd_port|" -e "s|^PidFile .*|PidFile $dir/kbd/sshd.pid|" \
    -e "s|^UsePAM .*|UsePAM yes|" -e "s|^PasswordAuthentication .*|PasswordAuthentication no|" \
    -e "s|^KbdInteractiveAuthentication .*|KbdInteractiveAuthentication yes|" \
    "$dir/sshd_config" >"$dir/kbd/sshd_config"

# A second port of the main server runs a misbehaving SFTP server instead of OpenSSH's, and
# allows one channel per connection (an upload's further channels are refused).
fake_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
fake_sftp=$(cd "$(dirname "$0")/../fakes" && pwd)/misbehaving_sftp.py
# A third port renews the session keys after every MiB, in both directions.
rekey_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s|^Port .*|&\nPort $fake_port\nPort $rekey_port|" "$dir/sshd_config"
cat >>"$dir/sshd_config" <<EOF
Match LocalPort $fake_port
    ForceCommand /usr/bin/python3 $fake_sftp
    MaxSessions 1
Match LocalPort $rekey_port
    RekeyLimit 1M
EOF

mkdir -p /run/sshd
chmod 755 /run/sshd
start() { # config folder, port
    /usr/sbin/sshd -f "$1/sshd_config" -E "$1/sshd.log"
    for _ in $(seq 1 100); do
        if [ -s "$1/sshd.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null; then
            return 0
        fi
        sleep 0.05
    done
    echo "sshd-start: sshd did not start; its log:" >&2
    cat "$1/sshd.log" >&2 || true
    exit 1
}
start "$dir" "$port"
start "$dir/kbd" "$kbd_port"

fp=$(ssh-keygen -l -E sha256 -f "$dir/host/ssh_host_ed25519_key.pub" | awk '{print $2}')
cat >"$dir/sshd.env" <<EOF
SSHD_PORT=$port
SSHD_USER=$user
SSHD_PASSWORD=$password
SSHD_HOME=$home
SSHD_PID=$(cat "$dir/sshd.pid")
SSHD_KBD_PORT=$kbd_port
SSHD_FAKE_SFTP_PORT=$fake_port
SSHD_REKEY_PORT=$rekey_port
SSHD_KEYS=$k
SSHD_HOSTKEY_ED25519_SHA256=$fp
SSHD_IPV6=$ipv6
EOF
# The contributor's tests read the keys and the state; sshd keeps its host keys.
if [ "$SERVER_OWNER_UID" -ne 0 ]; then
    find "$dir" -path "$dir/host" -prune -o -path "$home" -prune -o \
        -exec chown "$SERVER_OWNER_UID:$SERVER_OWNER_GID" {} +
fi
echo "sshd-start: listening on 127.0.0.1:$port (pid $(cat "$dir/sshd.pid"))"
