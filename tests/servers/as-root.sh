# Sourced by the server scripts. The test servers need root: sshd switches to its test user
# and pure-ftpd maps its virtual user. A contributor who is not root runs them through sudo
# (scripts/test asks for it once); SERVER_OWNER_UID and SERVER_OWNER_GID then name the
# contributor, so that the files the servers write stay theirs for the tests to check.
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null || ! sudo -n true 2>/dev/null; then
        echo "$(basename "$0"): the test servers need root; run 'sudo -v' first (scripts/test asks for it)" >&2
        exit 1
    fi
    exec sudo -n "$0" "$@"
fi
SERVER_OWNER_UID=${SUDO_UID:-0}
SERVER_OWNER_GID=${SUDO_GID:-0}
