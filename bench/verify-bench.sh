#!/usr/bin/env bash
# bench/verify-bench.sh [build-folder] [corpus-folder]
#
# What the archive test before the transfer costs beside the compression: packs the mixed
# corpus of bench/make-corpus.sh (~200 MB) with our ZIP writer (norvex-pack, the service's
# maximum level, every CPU) and with our 7z binding (pack7z, the service's settings), then
# tests each archive with norvex-verify (testArchive(), as the run calls it) and, for
# reference, with the peers' own tests (unzip -tqq, 7z t). ROUNDS times (default 3),
# alternating, on a warm page cache (the run tests the archive right after writing it);
# prints the median wall and CPU times side by side with verification / compression.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
corpus=${2:-/tmp/norvex-corpus-verify}
rounds=${ROUNDS:-3}
for t in "$build/bench/pack/norvex-pack" "$build/bench/pack7z/pack7z" \
  "$build/bench/verify/norvex-verify"; do
  [ -x "$t" ] || { echo "no $t: build norvex-pack, pack7z and norvex-verify first" >&2; exit 2; }
done
for t in unzip 7z; do
  command -v "$t" >/dev/null || { echo "missing peer tool: $t" >&2; exit 2; }
done
bench/make-corpus.sh "$corpus" mixed
out=$(mktemp -d /tmp/verify-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT

/usr/bin/python3 - "$build" "$corpus/mixed" "$out" "$rounds" <<'PY'
import os, statistics, subprocess, sys, time

build, corpus, out, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
pack = os.path.join(build, "bench/pack/norvex-pack")
pack7z = os.path.join(build, "bench/pack7z/pack7z")
verify = os.path.join(build, "bench/verify/norvex-verify")

def run(cmd):
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: " + " ".join(cmd))
    return wall, usage.ru_utime + usage.ru_stime

subprocess.run("find %s -type f -print0 | xargs -0 cat > /dev/null" % corpus, shell=True,
               check=True)
zip_a, sz_a = os.path.join(out, "m.zip"), os.path.join(out, "m.7z")
steps = [
    ("ZIP", "compress (norvex-pack)", lambda: [pack, zip_a, corpus], zip_a),
    ("ZIP", "verify (testArchive)", lambda: [verify, zip_a], None),
    ("ZIP", "unzip -tqq", lambda: ["unzip", "-tqq", zip_a], None),
    ("7z", "compress (pack7z)", lambda: [pack7z, sz_a, corpus], sz_a),
    ("7z", "verify (testArchive)", lambda: [verify, sz_a], None),
    ("7z", "7z t", lambda: ["7z", "t", "-bd", sz_a], None),
]
times = {s[:2]: [] for s in steps}
sizes = {}
for _ in range(rounds):
    for kind, name, cmd, made in steps:
        if made and os.path.exists(made):
            os.remove(made)
        times[(kind, name)].append(run(cmd()))
        if made:
            sizes[kind] = os.path.getsize(made)

print("%d CPUs usable, %d rounds, medians; corpus %s" % (len(os.sched_getaffinity(0)),
                                                        rounds, corpus))
print()
print("| format | step | wall s | CPU s | wall / compression |")
print("|---|---|---:|---:|---:|")
for kind, name, _, _ in steps:
    wall = statistics.median(t[0] for t in times[(kind, name)])
    cpu = statistics.median(t[1] for t in times[(kind, name)])
    ref = statistics.median(t[0] for t in times[(kind, steps[0 if kind == "ZIP" else 3][1])])
    print("| %s | %s | %.2f | %.2f | %.1f %% |" % (kind, name, wall, cpu, 100 * wall / ref))
print()
for kind, size in sizes.items():
    print("%s archive: %d bytes" % (kind, size))
PY
