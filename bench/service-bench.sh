#!/usr/bin/env bash
# bench/service-bench.sh [build-folder] [idle-seconds]
#
# Figures for the backup service, printed beside the peer tools:
#   1. idle cost: NorvexService with 50 jobs that are not due, for idle-seconds (default
#      300): CPU seconds used and peak resident memory;
#   2. one run of the mixed corpus (bench/make-corpus.sh) to a local folder: compression and
#      copy time from the service's own log time stamps, beside `zip -r -9` plus `mv` of the
#      same tree, both at the service's priority (nice 19, idle I/O class).
# CORPUS (default /tmp/norvex-corpus) and WORK (default a new folder in /tmp) choose where
# the data lies; DEST a destination folder on another file system, if wanted.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
idle=${2:-300}
exe=$PWD/$build/service/NorvexService
[ -x "$exe" ] || { echo "no $exe: build first (scripts/build $build)" >&2; exit 1; }
corpus_root=${CORPUS:-/tmp/norvex-corpus}
work=${WORK:-$(mktemp -d /tmp/norvex-service-bench.XXXXXX)}
mkdir -p "$work"
pid=
cleanup() { [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true; }
trap cleanup EXIT

header='"backupname","backuplist","tobackup","hostname","port","username","password","keyfile","localbackupdir","backupint","backuptani","backupdt","op1","op1val","op2","op2val","op3","op3val","op4"'
row() { # name sources dest backupdt
  printf '"%s","%s","Local","","22","","","","%s","1","d","%s","0","","0","","-1","3","0"\r\n' "$1" "$2" "$3" "$4"
}
stamp() { date +'%Y/%m/%d %H:%M:%S' -d "$1"; }
clk=$(getconf CLK_TCK)
cpu_seconds() { awk -v t="$clk" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }
peak_rss_mb() { awk '/VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }

# 1. Idle cost.
home=$work/idle/
rm -rf "$home"; mkdir -p "$home/Log" "$home/tmp"
printf '[Option]\r\nTmpFolder=%s\r\n' "$home/tmp" >"$home/Norvex.ini"
{
  printf '%s\r\n' "$header"
  for i in $(seq 1 50); do row "idle$i" "$home" "$home/dest" "$(stamp '+30 days')"; done
} >"$home/backuplist.csv"
NORVEX_HOME=$home "$exe" &
pid=$!
sleep 2
start_cpu=$(cpu_seconds "$pid")
echo "idle: 50 jobs not due, ${idle} s ..."
sleep "$idle"
end_cpu=$(cpu_seconds "$pid")
rss=$(peak_rss_mb "$pid")
kill -TERM "$pid"; wait "$pid" || true; pid=
idle_cpu=$(awk -v a="$start_cpu" -v b="$end_cpu" 'BEGIN { printf "%.2f", b - a }')
ticks=$((idle / 10))
echo "idle: CPU ${idle_cpu} s over ${idle} s (${ticks} ticks, each reloading backuplist.csv), peak RSS ${rss} MB"

# 2. One run of the mixed corpus.
bench/make-corpus.sh "$corpus_root" mixed >/dev/null
src=$corpus_root/mixed
src_mb=$(du -sm --apparent-size "$src" | cut -f1)
home=$work/run/
rm -rf "$home"; mkdir -p "$home/Log" "$home/tmp"
dest=${DEST:-$home/dest}
mkdir -p "$dest"
rm -f "$dest"/Norvex-mixed*
printf '[Option]\r\nTmpFolder=%s\r\n' "$home/tmp" >"$home/Norvex.ini"
{
  printf '%s\r\n' "$header"
  row mixed "$src" "$dest" "$(stamp '-60 sec')"
} >"$home/backuplist.csv"
sync
NORVEX_HOME=$home "$exe" &
pid=$!
until grep -q 'mixed バックアップ処理を終了しました。' "$home"/Log/*.log 2>/dev/null; do
  kill -0 "$pid" 2>/dev/null || { echo "the service ended early" >&2; exit 1; }
  sleep 0.5
done
kill -TERM "$pid"; wait "$pid" || true; pid=
if grep -q '^E' "$home"/Log/*.log; then grep '^E' "$home"/Log/*.log >&2; exit 1; fi
archive=$dest/Norvex-mixed-1-.zip
ours_bytes=$(stat -c %s "$archive")
read -r ours_zip ours_copy ours_total < <(/usr/bin/python3 - "$home"/Log/*.log <<'PY'
import sys, datetime
t = {}
for line in open(sys.argv[1], encoding="utf-8"):
    parts = line.rstrip("\r\n").split("\t")
    if len(parts) < 3 or not parts[2].startswith("mixed "):
        continue
    when = datetime.datetime.strptime(parts[1], "%Y/%m/%d %H:%M:%S:%f")
    for key, text in (("start", "バックアップ処理を開始しました。"), ("zip0", "圧縮処理を開始しました。"),
                      ("zip1", "形式圧縮処理を終了しました。"), ("copy0", "ローカルコピー処理を開始しました。"),
                      ("copy1", "リモートコピー処理を終了しました。"), ("end", "バックアップ処理を終了しました。")):
        if parts[2].endswith(text) and key not in t:
            t[key] = when
s = lambda a, b: (t[b] - t[a]).total_seconds()
print(f"{s('zip0', 'zip1'):.2f} {s('copy0', 'copy1'):.3f} {s('start', 'end'):.2f}")
PY
)
rm -f "$work/peer.zip" "$dest/peer.zip"
sync
t0=$(date +%s.%N)
(cd "$(dirname "$src")" && nice -n 19 ionice -c3 zip -r -9 -q "$work/peer.zip" "$(basename "$src")")
t1=$(date +%s.%N)
nice -n 19 ionice -c3 mv "$work/peer.zip" "$dest/peer.zip"
t2=$(date +%s.%N)
peer_bytes=$(stat -c %s "$dest/peer.zip")
rm -f "$dest/peer.zip"
peer_zip=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
peer_copy=$(awk -v a="$t1" -v b="$t2" 'BEGIN { printf "%.3f", b - a }')
samefs=same; [ "$(stat -c %d "$home/tmp")" = "$(stat -c %d "$dest")" ] || samefs=other

echo "run: mixed corpus ${src_mb} MB, destination on the ${samefs} file system"
printf '  %-26s %10s %10s %14s\n' "" "compress s" "copy s" "archive bytes"
printf '  %-26s %10s %10s %14s\n' "NorvexService (ZIP job)" "$ours_zip" "$ours_copy" "$ours_bytes"
printf '  %-26s %10s %10s %14s\n' "zip -r -9 + mv" "$peer_zip" "$peer_copy" "$peer_bytes"
echo "  NorvexService whole run ${ours_total} s (includes the fixed 500 ms + 1000 ms + 500 ms pauses)"
[ -z "${WORK:-}" ] && rm -rf "$work"
exit 0
