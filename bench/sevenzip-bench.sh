#!/usr/bin/env bash
# bench/sevenzip-bench.sh [build-folder] [corpus-folder]
#
# Packs the corpora of bench/make-corpus.sh (the mixed ~200 MB tree and 100,000 small
# files) into 7z archives with our engine binding (pack7z: the service's settings, level 3,
# not solid) and with the 7-Zip command line, alternating, ROUNDS times (default 1), and
# prints wall time, CPU time (user + system), peak memory and archive size side by side.
#   7z a -t7z -mx3 -ms=off -spf2   stores the same names as we do (the full path without
#                                  its leading '/'), so it writes the same archive
#   7z a -t7z -mx3 -ms=off         stores names relative to the corpus: shorter headers
# The corpus folder defaults to /tmp/norvex-corpus-7z: its own, because make-corpus.sh
# rewrites a corpus made with other parameters.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
corpus=${2:-/tmp/norvex-corpus-7z}
rounds=${ROUNDS:-1}
pack7z=$build/bench/pack7z/pack7z
[ -x "$pack7z" ] || { echo "no $pack7z: build the pack7z target first" >&2; exit 2; }
command -v 7z >/dev/null || { echo "7z (p7zip-full) is not installed" >&2; exit 2; }

bench/make-corpus.sh "$corpus" mixed small
out=$(mktemp -d /tmp/sevenzip-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT

/usr/bin/python3 - "$pack7z" "$corpus" "$out" "$rounds" <<'PY'
import filecmp, os, subprocess, sys, tempfile, time

pack7z, corpus, out, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

def measure(cmd, archive):
    if os.path.exists(archive):
        os.remove(archive)
    errors = tempfile.TemporaryFile()
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=errors)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    errors.seek(0)
    err = errors.read().decode(errors="replace")
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), err))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, os.path.getsize(archive)

def warm(path):
    # Both tools should read from the page cache, not the first one from the disk.
    for d, _, files in os.walk(path):
        for f in files:
            with open(os.path.join(d, f), "rb") as fh:
                while fh.read(1 << 20):
                    pass

print("%-8s %-32s %9s %9s %9s %14s" % ("corpus", "tool", "wall s", "cpu s", "peak MB", "bytes"))
summary = []
for name in ("mixed", "small"):
    src = os.path.join(corpus, name)
    warm(src)
    cli = ["7z", "a", "-t7z", "-mx3", "-ms=off", "-bd"]
    tools = [
        ("TSevenZip (pack7z)", lambda a: [pack7z, a, src]),
        ("7z a -t7z -mx3 -ms=off -spf2", lambda a: cli + ["-spf2", a, src]),
        ("7z a -t7z -mx3 -ms=off", lambda a: cli + [a, src]),
    ]
    best, same = {}, True
    for r in range(rounds):
        for k, (label, cmd) in enumerate(tools):
            archive = os.path.join(out, "%s-%d.7z" % (name, k))
            wall, cpu, peak, size = measure(cmd(archive), archive)
            print("%-8s %-32s %9.2f %9.2f %9.1f %14d" % (name, label, wall, cpu, peak, size),
                  flush=True)
            b = best.setdefault(label, [wall, cpu, peak, size])
            best[label] = [min(b[0], wall), min(b[1], cpu), max(b[2], peak), size]
        same = same and filecmp.cmp(os.path.join(out, name + "-0.7z"),
                                    os.path.join(out, name + "-1.7z"), shallow=False)
    ours = best[tools[0][0]]
    for label, _ in tools[1:]:
        c = best[label]
        summary.append((name, label, ours[0] / c[0], ours[1] / c[1], ours[2] / c[2],
                        ours[3] / c[3]))
    print("%-8s archive of pack7z and of -spf2 byte-identical: %s" % (name, "yes" if same else "NO"))

print()
print("ratios pack7z / 7z (best of %d rounds for wall and cpu):" % rounds)
for name, label, w, c, m, s in summary:
    print("%-8s vs %-32s wall %.3f  cpu %.3f  peak %.3f  size %.4f" % (name, label, w, c, m, s))
PY
