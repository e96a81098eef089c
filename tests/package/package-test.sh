#!/usr/bin/env bash
# package-test.sh WORK-FOLDER: the checks of the Debian package (see CMakeLists.txt).
# Prints "SKIP   : <reason>" lines for steps it cannot take, as QtTest does.
set -euo pipefail
work=$1
src=${NORVEX_SOURCE_DIR:?}
export PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin
rm -rf "$work"
mkdir -p "$work"

step() { printf '\n== %s\n' "$*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP   : Package: $*"; }

step "building the package"
deb=$("$src/scripts/package" "$work" | tail -n 1)
[ -f "$deb" ] || fail "scripts/package made no package"
case $(basename "$deb") in
  norvex_*_amd64.deb) ;;
  *) fail "unexpected package name $(basename "$deb")" ;;
esac
ls -l "$deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

step "lintian"
lintian_out=$work/lintian.txt
lintian --tag-display-limit 0 "$deb" >"$lintian_out" 2>&1 || true
cat "$lintian_out"
grep -q '^E: ' "$lintian_out" && fail "lintian reports errors"

step "desktop entry and metainfo"
tree=$work/tree
dpkg-deb -x "$deb" "$tree"
desktop=$(ls "$tree"/usr/share/applications/*.desktop)
desktop-file-validate "$desktop"
grep -qx 'Categories=Utility;Archiving;' "$desktop" || fail "desktop entry: categories"
grep -qx 'Icon=norvex' "$desktop" || fail "desktop entry: icon"
grep -q '^Name\[ja\]=' "$desktop" && grep -q '^Comment\[ja\]=' "$desktop" ||
  fail "desktop entry: no Japanese name or comment"
appstreamcli validate --no-net "$tree"/usr/share/metainfo/*.metainfo.xml

step "contents"
for f in usr/lib/norvex/NorvexService usr/lib/norvex/Norvex usr/bin/norvex \
  usr/share/icons/hicolor/scalable/apps/norvex.svg usr/share/norvex/norvex1_0usersmanual.pdf \
  usr/share/norvex/web/norvex.html usr/share/norvex/icons/norvex.svg \
  usr/share/man/man1/norvex.1.gz usr/share/man/man8/NorvexService.8.gz \
  usr/lib/systemd/user/norvex.service usr/lib/systemd/system/norvex.service \
  usr/share/doc/norvex/copyright usr/share/doc/norvex/changelog.Debian.gz \
  usr/share/doc/norvex/norvex1_0usersmanual.pdf; do
  [ -e "$tree/$f" ] || fail "the package lacks /$f"
done
# norvexctl comes with its link, man page and completion, or not at all.
if [ -e "$tree/usr/lib/norvex/norvexctl" ]; then
  for f in usr/bin/norvexctl usr/share/man/man1/norvexctl.1.gz \
    usr/share/bash-completion/completions/norvexctl; do
    [ -e "$tree/$f" ] || fail "the package has norvexctl but lacks /$f"
  done
fi
[ -z "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'postinst|prerm|postrm|preinst' || true)" ] ||
  fail "the package has maintainer scripts; it must start nothing by itself"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for p in p7zip-full libqt6core6 libssh; do
  grep -q "$p" <<<"$depends" || fail "Depends lacks $p"
done

# The rest installs the package on this machine.
if [ "$(id -u)" -eq 0 ]; then
  asroot() { "$@"; }
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  asroot() { sudo -n "$@"; }
else
  skip "installing the package needs root or passwordless sudo"
  exit 77
fi

user=norvexpkg
home=/home/$user
service_pid=
cleanup() {
  set +e
  [ -n "$service_pid" ] && asroot kill -TERM "$service_pid" 2>/dev/null
  if dpkg -s norvex >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive asroot apt-get purge -y -qq norvex >/dev/null 2>&1
  fi
  id "$user" >/dev/null 2>&1 && asroot userdel -r "$user" 2>/dev/null
}
trap cleanup EXIT
# Runs a command as the throwaway user, in a clean environment.
asuser() {
  asroot runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"
}

step "installing"
if dpkg -s norvex >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive asroot apt-get purge -y -qq norvex
fi
# Recommends (xdg-utils, fonts) would stay on the machine after the purge.
DEBIAN_FRONTEND=noninteractive asroot apt-get install -y -qq --no-install-recommends "$deb"
dpkg -L norvex >"$work/files.txt"
wc -l <"$work/files.txt"

step "systemd units"
asroot systemd-analyze verify /usr/lib/systemd/system/norvex.service
runtime=$(mktemp -d)
XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify /usr/lib/systemd/user/norvex.service
rm -rf "$runtime"
grep -qx 'ProtectSystem=strict' /usr/lib/systemd/system/norvex.service || fail "system unit: ProtectSystem"

id "$user" >/dev/null 2>&1 && asroot userdel -r "$user" 2>/dev/null
asroot rm -rf "$home"
asroot useradd -m -s /bin/sh "$user"
data=$home/.local/share/norvex

# The installed service as the user, in the foreground (backgrounded here).
start_service() {
  asuser /usr/lib/norvex/NorvexService >>"$work/service.out" 2>&1 &
  service_pid=
  for _ in $(seq 1 300); do
    service_pid=$(pgrep -u "$user" -f '^/usr/lib/norvex/NorvexService' | head -n 1 || true)
    [ -n "$service_pid" ] && asroot test -f "$data/backuplist.csv" && return 0
    sleep 0.2
  done
  cat "$work/service.out"
  fail "the service made no job table in $data"
}
stop_service() {
  asroot kill -TERM "$service_pid"
  for _ in $(seq 1 300); do asroot kill -0 "$service_pid" 2>/dev/null || break; sleep 0.2; done
  asroot kill -0 "$service_pid" 2>/dev/null && fail "the service did not stop on SIGTERM"
  service_pid=
}
# The first ZIP archive in the destination, checked with unzip, within 10 minutes.
check_archive() {
  local archive=
  for _ in $(seq 1 3000); do
    archive=$(asroot find "$home/dest" -name '*.zip' -type f | head -n 1)
    [ -n "$archive" ] && break
    sleep 0.2
  done
  [ -n "$archive" ] || { asroot sh -c "cat '$data'/Log/*.log"; fail "no archive in $home/dest"; }
  asroot unzip -l "$archive"
  asroot unzip -tq "$archive"
}

step "the service of a user keeps its data in the user's XDG folder"
asuser mkdir -p "$home/src/docs" "$home/dest"
asuser sh -c "head -c 200000 /dev/urandom >$home/src/docs/a.bin; echo hello >$home/src/b.txt"
start_service
[ "$(asroot stat -c '%a %U' "$data")" = "700 $user" ] ||
  fail "$data is not private to $user: $(asroot stat -c '%a %U' "$data")"

if [ -x /usr/lib/norvex/norvexctl ]; then
  step "norvexctl add and run --wait make a backup"
  start=$(date -d tomorrow '+%Y/%m/%d %H:%M')
  asuser norvexctl add pkgjob --local "$home/dest" --every 1d --start "$start" --zip \
    "$home/src"
  asuser norvexctl list
  asuser timeout 600 norvexctl run pkgjob --wait || fail "norvexctl run --wait failed"
  check_archive
  asroot grep -q pkgjob "$data/backuplist.csv" || fail "the job is not in $data/backuplist.csv"
  # The service runs in the foreground, unregistered: the status may be a failure.
  status=$(asuser norvexctl service status 2>&1 || true)
  echo "$status"
  grep -Eqx "installation folder: $data/?" <<<"$status" ||
    fail "norvexctl service status names another folder"
  stop_service
else
  skip "norvexctl steps: /usr/lib/norvex/norvexctl is not in this package (built on the ctl branch)"
  step "a job that is due makes a backup (job table written as the window writes it)"
  stop_service
  fields=(backupname backuplist tobackup hostname port username password keyfile
    localbackupdir backupint backuptani backupdt op1 op1val op2 op2val op3 op3val op4)
  values=(pkgjob "$home/src" Local "" "" "" "" "" "$home/dest" 1 d "2020/01/01 00:00:00"
    0 "" 0 "" 0 "" 0)
  csvline() { local out= v; for v in "$@"; do out+=${out:+,}\"${v//\"/\"\"}\"; done; printf '%s\r\n' "$out"; }
  { csvline "${fields[@]}"; csvline "${values[@]}"; } | asuser sh -c "cat >'$data/backuplist.csv'"
  start_service
  check_archive
  stop_service
fi
asroot test -d "$data/Log" || fail "no event log in $data"

step "the window opens from the desktop entry"
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/*norvex*.desktop | head -n 1)
echo "Exec=$exec_line"
asuser xvfb-run -a sh -c "
  $exec_line >/tmp/norvex-window.\$\$ 2>&1 &
  pid=\$!
  for i in 1 2 3 4 5 6 7 8 9 10; do
    sleep 0.5
    kill -0 \$pid 2>/dev/null || { cat /tmp/norvex-window.\$\$; rm -f /tmp/norvex-window.\$\$; exit 1; }
  done
  kill \$pid; wait \$pid; rm -f /tmp/norvex-window.\$\$; exit 0" ||
  fail "the window did not stay up"

step "removing"
DEBIAN_FRONTEND=noninteractive asroot apt-get purge -y -qq norvex
dpkg -L norvex >/dev/null 2>&1 && fail "dpkg still lists the package"
left=0
while read -r f; do
  [ "$f" = /. ] && continue
  # Folders the package shares with others stay.
  if [ -d "$f" ] && [ ! -L "$f" ]; then
    case $f in /usr/lib/norvex | /usr/share/norvex* | /usr/share/doc/norvex) ;; *) continue ;; esac
  fi
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "left behind: $f"
    left=1
  fi
done <"$work/files.txt"
[ $left -eq 0 ] || fail "files of the package are left"
asroot test -f "$data/backuplist.csv" || fail "the user's data went with the package"
echo "The package left the user's data in $data and nothing else."
