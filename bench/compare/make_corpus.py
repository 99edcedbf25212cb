#!/usr/bin/env python3
"""Deterministic scan corpus for the Nerlo benchmarks.

  python3 make_corpus.py --out /tmp/bench-corpus/c20k [--files 20000] [--seed 1] [--infected 40]

Same arguments -> byte-identical tree (content comes from seeded generators only).
Layout: OUT/tree/... (nested folders, the scan target) and OUT/manifest.json
(sizes, class counts, and every planted "infected" file with what makes it infected,
which make_sigdb.py turns into signatures).

Size mix (per file, drawn with the seed):
  2%    tiny   0..700 bytes (covers <432 bytes: no windows; and partial windows)
  85.5% small  1 KiB..64 KiB, log-uniform
  12%   mid    64 KiB..4 MiB, log-uniform
  0.5%  large  5 MiB+1..12 MiB (above the 5 MiB limit: must be skipped)
  plus two boundary files of 5,242,879 and 5,242,880 bytes.
Content: 65% binary (slices of a seeded 64 MiB random pool, bytes 400..662
rewritten per file so no two files share a byte window), 35% text (slices of a
seeded pseudo-word pool). Every file starts with a unique stamp line, so no two
files have the same MD5 (ClamAV keeps a clean-file cache keyed by hash).
Infected files (1 KiB..1 MiB, >= 663 bytes) are split into four kinds:
  md5    - whole-file hash goes into the hash databases
  window - the bytes of window k (k cycles 1..8) go into the window databases
  heur   - heuristic string j (j cycles 0..9) is planted at an offset >= 700
  combo  - window and heuristic string both
"""
import argparse, json, math, os, random, sys, time, hashlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sigcommon import WINDOWS, SIZE_LIMIT, HEUR_PLANTABLE, heur_strings, hexu

POOL = 64 << 20
TEXT_POOL = 16 << 20


def make_pools(seed):
    r = random.Random(seed)
    binp = b"".join(r.randbytes(1 << 20) for _ in range(POOL >> 20))
    # pseudo-words: 4000 words of 2..10 lower-case letters, lines of ~60 chars
    words = ["".join(r.choice("etaoinshrdlucmfwypvbgkqjxz") for _ in range(r.randint(2, 10))) for _ in range(4000)]
    parts, n, col = [], 0, 0
    while n < TEXT_POOL:
        w = r.choice(words)
        if col + len(w) > 60:
            parts.append("\n"); n += 1; col = 0
        else:
            if col:
                parts.append(" "); n += 1; col += 1
            parts.append(w); n += len(w); col += len(w)
    txtp = "".join(parts).encode()[:TEXT_POOL]
    return binp, txtp


def draw_size(r):
    u = r.random()
    if u < 0.02:
        return "tiny", r.randint(0, 700)
    if u < 0.875:
        return "small", int(math.exp(r.uniform(math.log(1024), math.log(64 << 10))))
    if u < 0.995:
        return "mid", int(math.exp(r.uniform(math.log(64 << 10), math.log(4 << 20))))
    return "large", r.randint(SIZE_LIMIT + 1, 12 << 20)


def make_dirs(r, ndirs):
    """Random nested tree: each new folder hangs under a random existing one,
    favouring shallow parents, depth capped at 7."""
    dirs = [("", 0)]
    while len(dirs) < ndirs:
        parent, depth = dirs[min(int(r.expovariate(1 / (len(dirs) / 3))), len(dirs) - 1)]
        if depth >= 7:
            continue
        name = "d%04d" % len(dirs)
        dirs.append((os.path.join(parent, name), depth + 1))
    return [d for d, _ in dirs]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--files", type=int, default=20000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--infected", type=int, default=40)
    a = ap.parse_args()

    t0 = time.time()
    r = random.Random(a.seed)
    binp, txtp = make_pools(a.seed)
    tree = os.path.join(a.out, "tree")
    if os.path.exists(tree):
        sys.exit("refusing to overwrite existing %s" % tree)
    dirs = make_dirs(r, max(1, a.files // 25))
    for d in dirs:
        os.makedirs(os.path.join(tree, d), exist_ok=True)

    plans = []
    for i in range(a.files):
        cls, size = draw_size(r)
        plans.append({"i": i, "cls": cls, "size": size, "text": r.random() < 0.35,
                      "dir": dirs[r.randrange(len(dirs))]})
    plans.append({"i": a.files, "cls": "boundary", "size": SIZE_LIMIT - 1, "text": False, "dir": dirs[0]})
    plans.append({"i": a.files + 1, "cls": "boundary", "size": SIZE_LIMIT, "text": False, "dir": dirs[0]})

    # infected: distinct binary files 1 KiB..1 MiB
    cand = [s for s in plans if not s["text"] and s["cls"] in ("small", "mid") and 1024 <= s["size"] <= (1 << 20)]
    inf = r.sample(cand, min(a.infected, len(cand)))
    kinds = ["md5", "window", "heur", "combo"]
    hs = heur_strings(HEUR_PLANTABLE)
    for n, s in enumerate(inf):
        s["kind"] = kinds[n % 4]
        s["win"] = (n // 4) % 8 + 1
        s["heur"] = n % HEUR_PLANTABLE

    manifest = {"seed": a.seed, "files": len(plans), "infected": [], "classes": {}, "bytes_total": 0,
                "examined_files": 0, "examined_bytes": 0, "files_ge_663": 0}
    for s in plans:
        size, fr = s["size"], random.Random(a.seed * 7_919 + s["i"])
        name = "f%06d.%s" % (s["i"], "txt" if s["text"] else "bin")
        path = os.path.join(tree, s["dir"], name)
        stamp = ("#nerlo-bench %d %d\n" % (a.seed, s["i"])).encode()
        if s["text"]:
            off = fr.randrange(TEXT_POOL - size) if size < TEXT_POOL else 0
            body = bytearray((stamp + txtp[off:off + size])[:size])
            while len(body) < size:             # only for files larger than the pool
                body += txtp[:size - len(body)]
        else:
            body = bytearray()
            while len(body) < size:
                take = min(size - len(body), POOL)
                off = fr.randrange(POOL - take + 1)
                body += binp[off:off + take]
            body[:min(size, len(stamp))] = stamp[:min(size, len(stamp))]
            if size > 400:
                hi = min(size, 663)
                body[400:hi] = fr.randbytes(hi - 400)
        if "kind" in s:
            rec = {"path": os.path.relpath(path, a.out), "kind": s["kind"], "size": size}
            if s["kind"] in ("heur", "combo"):
                h = hs[s["heur"]]
                avoid = set(h)
                sep = next(c for c in range(1, 256) if c not in avoid)  # byte before the string resets any partial match
                pos = fr.randrange(700, size - len(h) - 1)
                body[pos - 1] = sep
                body[pos:pos + len(h)] = h
                rec["heur"] = s["heur"]
            if s["kind"] in ("window", "combo"):
                lo, hi = WINDOWS[s["win"] - 1]
                rec["win"] = s["win"]
                rec["win_hex"] = hexu(bytes(body[lo:hi + 1]))
            rec["md5"] = hashlib.md5(body).hexdigest().upper()
            manifest["infected"].append(rec)
        with open(path, "wb") as f:
            f.write(body)
        c = manifest["classes"].setdefault(s["cls"], {"files": 0, "bytes": 0})
        c["files"] += 1; c["bytes"] += size
        manifest["bytes_total"] += size
        if size < SIZE_LIMIT:
            manifest["examined_files"] += 1; manifest["examined_bytes"] += size
            manifest["files_ge_663"] += size >= 663
    manifest["dirs"] = len(dirs)
    manifest["gen_seconds"] = round(time.time() - t0, 1)
    with open(os.path.join(a.out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1)
    print("wrote %d files (%.1f MB) in %d dirs, %d infected, %.1f s; examined (<5 MiB): %d files, %.1f MB"
          % (len(plans), manifest["bytes_total"] / 1e6, len(dirs), len(manifest["infected"]), manifest["gen_seconds"],
             manifest["examined_files"], manifest["examined_bytes"] / 1e6))


if __name__ == "__main__":
    main()
