#!/usr/bin/env bash
# bench/make-corpus.sh [folder] [mixed] [small] [big]
#
# Writes reproducible benchmark corpora (same bytes on every machine, fixed seeds) into
# folder (default /tmp/norvex-corpus):
#   mixed/   ~200 MB tree: text-like files (source, logs, CSV), incompressible files
#            (like photos or archives) and structured binaries, 100 B to 24 MB, up to six
#            folder levels deep
#   small/   100,000 small files (0 to 4 KiB, mostly text) in 250 folders
#   big/     one multi-GiB file (BIG_GIB GiB, default 2.5) of 1 MiB blocks mixing zeros,
#            text, structured binary and random data, like a disk image
# Without corpus names all three are made. A corpus whose stamp file matches the
# parameters is kept as it is, so repeated runs cost nothing.
set -euo pipefail
dir=${1:-/tmp/norvex-corpus}
shift || true
which=("$@")
[ ${#which[@]} -eq 0 ] && which=(mixed small big)
big_gib=${BIG_GIB:-2.5}
mkdir -p "$dir"
for c in "${which[@]}"; do
  case $c in mixed|small|big) ;; *) echo "unknown corpus: $c" >&2; exit 2 ;; esac
  stamp="$dir/.$c.stamp"
  want="v1 $c big_gib=$big_gib"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    echo "corpus $c: kept ($dir/$c)"
    continue
  fi
  rm -rf "${dir:?}/$c" "$stamp"
  echo "corpus $c: writing $dir/$c ..."
  /usr/bin/python3 - "$dir" "$c" "$big_gib" <<'PY'
import os, random, sys

root, corpus, big_gib = sys.argv[1], sys.argv[2], float(sys.argv[3])

def vocabulary(rng, n):
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    weights = [12.7, 9.1, 8.2, 7.5, 7.0, 6.7, 6.3, 6.1, 6.0, 4.3, 4.0, 2.8, 2.8, 2.4, 2.4,
               2.2, 2.0, 2.0, 1.9, 1.5, 1.0, 0.8, 0.2, 0.2, 0.1, 0.1]
    words = set()
    while len(words) < n:
        words.add("".join(rng.choices(letters, weights, k=rng.randint(2, 11))))
    words = sorted(words)
    rng.shuffle(words)
    # Zipf-like frequencies, as in natural text and identifiers.
    cum, total = [], 0.0
    for i in range(n):
        total += 1.0 / (i + 1)
        cum.append(total)
    return words, cum

class Text:
    def __init__(self, rng):
        self.rng = rng
        self.words, self.cum = vocabulary(rng, 6000)

    def prose(self, size):
        rng, out, n = self.rng, [], 0
        while n < size:
            line = " ".join(rng.choices(self.words, cum_weights=self.cum, k=rng.randint(4, 16)))
            line = line.capitalize() + ".\n"
            out.append(line)
            n += len(line)
        return "".join(out).encode()[:size]

    def log(self, size):
        rng, out, n = self.rng, [], 0
        t = rng.randint(1600000000, 1700000000)
        levels = ["INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"]
        while n < size:
            t += rng.randint(0, 5)
            msg = " ".join(rng.choices(self.words, cum_weights=self.cum, k=rng.randint(3, 9)))
            line = "%d.%03d %-5s [worker-%d] %s id=%d\n" % (
                t, rng.randint(0, 999), rng.choice(levels), rng.randint(1, 16), msg,
                rng.randint(1, 99999))
            out.append(line)
            n += len(line)
        return "".join(out).encode()[:size]

    def csv(self, size):
        rng, out, n = self.rng, [], 0
        row = 0
        while n < size:
            row += 1
            line = "%d,%s,%s,%d.%02d,%d\n" % (
                row, rng.choice(self.words), rng.choice(self.words[:200]),
                rng.randint(0, 9999), rng.randint(0, 99), rng.randint(0, 1 << 20))
            out.append(line)
            n += len(line)
        return "".join(out).encode()[:size]

    def source(self, size):
        rng, out, n, depth = self.rng, [], 0, 0
        kw = ["if", "for", "return", "int", "const", "auto", "while", "else", "static"]
        while n < size:
            w = rng.choices(self.words[:800], cum_weights=self.cum[:800], k=3)
            r = rng.random()
            if r < 0.15 and depth < 4:
                line = "    " * depth + "%s (%s_%s) {\n" % (rng.choice(kw), w[0], w[1])
                depth += 1
            elif r < 0.3 and depth > 0:
                depth -= 1
                line = "    " * depth + "}\n"
            else:
                line = "    " * depth + "%s %s = %s(%s, %d);\n" % (
                    rng.choice(kw), w[0], w[1], w[2], rng.randint(0, 255))
            out.append(line)
            n += len(line)
        return "".join(out).encode()[:size]

# Byte values with a skewed distribution: compresses to about half, like executables.
SKEW = bytes(min(int((i / 256) ** 3 * 256), 255) for i in range(256))

def structured(rng, size):
    return rng.randbytes(size).translate(SKEW)

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

def mixed(base):
    rng = random.Random(20261209)
    text = Text(rng)
    total, target, i = 0, 200 * 1000 * 1000, 0
    folders = [""]
    while total < target:
        if rng.random() < 0.08 or len(folders) == 1:
            parent = rng.choice(folders)
            if parent.count("/") < 5:
                folders.append(parent + "/d%03d" % len(folders))
        folder = rng.choice(folders)
        # Mostly small files (100 B to 200 KB), a few large ones (500 KB to 24 MB).
        if rng.random() < 0.97:
            size = int(10 ** rng.uniform(2, 5.3))
        else:
            size = int(10 ** rng.uniform(5.7, 7.38))
        kind = rng.choices(["prose", "log", "csv", "source", "random", "binary"],
                           [20, 15, 10, 20, 20, 15])[0]
        if kind == "random":
            data, ext = rng.randbytes(size), rng.choice([".jpg", ".zip", ".gz", ".mp4"])
        elif kind == "binary":
            data, ext = structured(rng, size), rng.choice([".bin", ".so", ".db", ""])
        else:
            data = getattr(text, kind)(size)
            ext = {"prose": ".txt", "log": ".log", "csv": ".csv", "source": ".cpp"}[kind]
        write("%s%s/f%05d%s" % (base, folder, i, ext), data)
        total += size
        i += 1
    print("  %d files, %d bytes, %d folders" % (i, total, len(folders)))

def small(base):
    rng = random.Random(100000)
    text = Text(rng)
    pool = text.source(4 << 20) + text.prose(4 << 20)
    total = 0
    for i in range(100000):
        size = min(int(rng.expovariate(1 / 1200)), 4096)
        if rng.random() < 0.1:
            data = rng.randbytes(size)
        else:
            at = rng.randrange(0, len(pool) - size)
            data = pool[at:at + size]
        write("%s/g%03d/s%06d.txt" % (base, i % 250, i), data)
        total += size
    print("  100000 files, %d bytes" % total)

def big(base):
    rng = random.Random(3 << 30)
    text = Text(rng)
    mib = 1 << 20
    blocks = {
        "zero": [bytes(mib)],
        "text": [text.log(mib) if k % 2 else text.source(mib) for k in range(24)],
        "binary": [structured(rng, mib) for _ in range(24)],
        "random": [rng.randbytes(mib) for _ in range(24)],
    }
    kinds, weights = list(blocks), [30, 30, 25, 15]
    n = int(big_gib * 1024)
    os.makedirs(base, exist_ok=True)
    with open(base + "/disk.img", "wb") as f:
        for _ in range(n):
            # Runs of a few blocks of one kind, like the regions of a disk image.
            kind = rng.choices(kinds, weights)[0]
            f.write(rng.choice(blocks[kind]))
    print("  1 file, %d bytes" % (n * mib))

{"mixed": mixed, "small": small, "big": big}[corpus](os.path.join(root, corpus))
PY
  echo "$want" >"$stamp"
done
