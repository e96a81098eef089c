#!/usr/bin/env bash
# bench/zip-bench.sh [corpus-folder] [corpus...]
#
# Packs the benchmark corpora (bench/make-corpus.sh: mixed, small, big) with our ZIP
# writer (norvex-pack, the archive step's sequence at the service's level, maximum = zlib 9),
# Info-ZIP (zip -r -9 -q) and bsdtar (zip format, compression level 9), one after the
# other on a warm page cache, and prints wall time, CPU time, peak memory and output size
# side by side, with ratios against Info-ZIP.
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
for t in zip bsdtar /usr/bin/python3; do
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
    ("zip -9", lambda a, c: ["zip", "-r", "-9", "-q", a, c]),
    ("bsdtar -9", lambda a, c: ["bsdtar", "--format", "zip", "--options",
                                 "zip:compression-level=9", "-cf", a, c]),
]
rows = []
for corpus in corpora:
    warm(corpus)
    results = {}
    for name, cmd in tools:
        archive = os.path.join(out, "%s-%s.zip" % (corpus, name.split()[0]))
        if os.path.exists(archive):
            os.remove(archive)
        wall, cpu, peak = run(cmd(archive, corpus), corpus_dir)
        size = os.path.getsize(archive)
        if subprocess.run(["unzip", "-tqq", archive]).returncode != 0:
            sys.exit("unzip -t failed for " + archive)
        os.remove(archive)
        results[name] = (wall, cpu, peak, size)
    ref = results["zip -9"]
    for name, _ in tools:
        wall, cpu, peak, size = results[name]
        rows.append((corpus, name, wall, cpu, peak, size, wall / ref[0], size / ref[3]))

print()
print("| corpus | tool | wall s | CPU s | peak MB | output bytes | wall / zip | size / zip |")
print("|---|---|---:|---:|---:|---:|---:|---:|")
for r in rows:
    print("| %s | %s | %.2f | %.2f | %.1f | %d | %.3f | %.4f |" % r)
PY
