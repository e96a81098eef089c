#!/usr/bin/env bash
# bench/restore-bench.sh [build-folder] [corpus-folder]
#
# A restore of the mixed corpus of bench/make-corpus.sh (~200 MB) from a local generation
# beside the peer tools on the same archive: the ZIP archive our writer makes (norvex-pack,
# the service's level) restored by norvex-restore (RestoreArchive, as the restore dialog
# runs it), `unzip` and `7z x`; the 7z archive with a password (pack7z, the service's
# settings) by norvex-restore and `7z x`. One run of each, alternating, on a warm page
# cache; prints wall and CPU times and the wall-time ratio to each peer. Every restore is
# compared with the corpus (diff -r) once.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
corpus=${2:-/tmp/norvex-corpus}
for t in "$build/bench/pack/norvex-pack" "$build/bench/pack7z/pack7z" \
  "$build/bench/restore/norvex-restore"; do
  [ -x "$t" ] || { echo "no $t: build norvex-pack, pack7z and norvex-restore first" >&2; exit 2; }
done
for t in unzip 7z; do
  command -v "$t" >/dev/null || { echo "missing peer tool: $t" >&2; exit 2; }
done
bench/make-corpus.sh "$corpus" mixed
out=$(mktemp -d /tmp/restore-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT

/usr/bin/python3 - "$build" "$corpus/mixed" "$out" <<'PY'
import os, shutil, subprocess, sys, time

build, corpus, out = sys.argv[1:4]
restore = os.path.join(build, "bench/restore/norvex-restore")
password = "pässwörd"

def run(cmd):
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: " + " ".join(cmd))
    return wall, usage.ru_utime + usage.ru_stime

zip_archive = os.path.join(out, "Norvex-mixed-1-.zip")
sz_archive = os.path.join(out, "Norvex-mixed-1-.7z")
run([os.path.join(build, "bench/pack/norvex-pack"), zip_archive, corpus])
run([os.path.join(build, "bench/pack7z/pack7z"), "-p", password, sz_archive, corpus])

def target(name):
    path = os.path.join(out, "x-" + name)
    shutil.rmtree(path, ignore_errors=True)
    os.mkdir(path)
    return path

# The stored paths are the corpus's absolute path without its leading '/'.
stored = corpus.lstrip("/")
tools = {
    "zip": [("norvex-restore", lambda t: [restore, zip_archive, t]),
            ("unzip", lambda t: ["unzip", "-qq", zip_archive, "-d", t]),
            ("7z x", lambda t: ["7z", "x", "-y", "-bd", "-o" + t, zip_archive])],
    "7z": [("norvex-restore", lambda t: [restore, "-p", password, sz_archive, t]),
           ("7z x", lambda t: ["7z", "x", "-y", "-bd", "-p" + password, "-o" + t, sz_archive])],
}
with open("/proc/loadavg") as f:
    print("load average before:", f.read().split()[0])
for kind, entries in tools.items():
    times = {}
    for name, cmd in entries:
        t = target(kind + name.replace(" ", ""))
        times[name] = run(cmd(t))
        if name == "norvex-restore":
            subprocess.run(["diff", "-r", corpus, os.path.join(t, stored)], check=True)
        shutil.rmtree(t)
    ours = times["norvex-restore"][0]
    for name, (wall, cpu) in times.items():
        ratio = "" if name == "norvex-restore" else "  ours/peer %.2f" % (ours / wall)
        print("%-4s %-15s wall %6.2f s  cpu %6.2f s%s" % (kind, name, wall, cpu, ratio))
with open("/proc/loadavg") as f:
    print("load average after:", f.read().split()[0])
PY
