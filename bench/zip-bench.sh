#!/usr/bin/env bash
# bench/zip-bench.sh [corpus-folder] [corpus...]
#
# Packs the benchmark corpora (bench/make-corpus.sh: mixed, small, big) with our ZIP
# writer (norvex-pack, the archive step's sequence at the service's level, maximum = zlib 9;
# once with every CPU the process may use and once with one worker), Info-ZIP
# (zip -r -9 -q), bsdtar (zip format, its default level and level 9) and, for the big
# corpus, pigz -9 (gzip, not ZIP: the reference for parallel deflate), one after the other
# on a warm page cache, and prints wall time, CPU time, peak memory and output size side
# by side, with ratios against Info-ZIP, and the machine's load average around each run
# (other work on the machine shows there). Beside each ratio stands the tool's limit on
# this machine: the single-thread CPU time of its deflater (for norvex-pack the CPU time
# of its one-worker run, for pigz its own CPU time) divided by the cores it may use (1 for
# the single-threaded tools), as a ratio to Info-ZIP's wall time. A tool cannot go below
# it without a cheaper deflater; a wall ratio far above it means the machine was busy.
#   PACK=path/to/norvex-pack   the tool (default: build-zip/, then build/ of this tree)
#   BIG_GIB=n                  size of the big corpus file (see make-corpus.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
dir=${1:-/tmp/norvex-corpus}
shift || true
corpora=("$@")
[ ${#corpora[@]} -eq 0 ] && corpora=(mixed small big)

pack=${PACK:-}
for p in "$root/build-zip/bench/pack/norvex-pack" "$root/build/bench/pack/norvex-pack"; do
  [ -z "$pack" ] && [ -x "$p" ] && pack=$p
done
[ -x "${pack:-}" ] || { echo "norvex-pack not found: build it or set PACK" >&2; exit 2; }
for t in zip bsdtar pigz /usr/bin/python3; do
  command -v "$t" >/dev/null || { echo "missing peer tool: $t (scripts/deps test)" >&2; exit 2; }
done

"$here/make-corpus.sh" "$dir" "${corpora[@]}"
out="$dir/.bench-out"
mkdir -p "$out"

/usr/bin/python3 - "$dir" "$out" "$pack" "${corpora[@]}" <<'PY'
import os, subprocess, sys, time

corpus_dir, out, pack, corpora = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]

def run(cmd, cwd):
    start = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(cmd))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0

def warm(path):
    # Every tool starts from the same, warm page cache.
    subprocess.run(["tar", "-cf", "/dev/null", path], cwd=corpus_dir, check=True)
    subprocess.run("find %s -type f -print0 | xargs -0 cat > /dev/null" % path, shell=True,
                   cwd=corpus_dir, check=True)

tools = [
    ("norvex-pack", lambda a, c: [pack, a, c]),
    ("norvex-pack 1-worker", lambda a, c: [pack, "--workers", "1", a, c]),
    ("zip -9", lambda a, c: ["zip", "-r", "-9", "-q", a, c]),
    ("bsdtar", lambda a, c: ["bsdtar", "--format", "zip", "-cf", a, c]),
    ("bsdtar -9", lambda a, c: ["bsdtar", "--format", "zip", "--options",
                                 "zip:compression-level=9", "-cf", a, c]),
    ("pigz -9", None),
]

def pigz(archive, corpus):
    # One file: gzip it whole into the archive path (the size is comparable, the format
    # is not a ZIP).
    name = os.listdir(os.path.join(corpus_dir, corpus))[0]
    return ["sh", "-c", 'pigz -9 -c "$0" > "$1"', os.path.join(corpus, name), archive]

def load():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])
rows = []
for corpus in corpora:
    warm(corpus)
    results = {}
    for name, cmd in tools:
        if cmd is None and corpus != "big":
            continue
        archive = os.path.join(out, "%s-%s.zip" % (corpus, name.replace(" ", "_")))
        if os.path.exists(archive):
            os.remove(archive)
        before = load()
        wall, cpu, peak = run(cmd(archive, corpus) if cmd else pigz(archive, corpus),
                              corpus_dir)
        after = load()
        size = os.path.getsize(archive)
        test = ["gzip", "-t", archive] if cmd is None else ["unzip", "-tqq", archive]
        if subprocess.run(test).returncode != 0:
            sys.exit("archive test failed for " + archive)
        os.remove(archive)
        results[name] = (wall, cpu, peak, size, before, after)
    ref = results["zip -9"]
    cores = len(os.sched_getaffinity(0))
    for name, _ in tools:
        if name not in results:
            continue
        wall, cpu, peak, size, before, after = results[name]
        if name == "norvex-pack":
            limit = results["norvex-pack 1-worker"][1] / cores
        elif name == "pigz -9":
            limit = cpu / cores
        else:
            limit = cpu
        rows.append((corpus, name, wall, cpu, peak, size, wall / ref[0], limit / ref[0],
                     size / ref[3], before, after))

print()
print("%d CPUs usable; load average (1 min) before and after each run" %
      len(os.sched_getaffinity(0)))
print()
print("| corpus | tool | wall s | CPU s | peak MB | output bytes | wall / zip | limit / zip "
      "| size / zip | load |")
print("|---|---|---:|---:|---:|---:|---:|---:|---:|---|")
for r in rows:
    print("| %s | %s | %.2f | %.2f | %.1f | %d | %.3f | %.3f | %.4f | %.2f-%.2f |" % r)
PY
