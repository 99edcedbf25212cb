#!/usr/bin/env python3
"""Signature databases of configurable size, in three equivalent forms.

  python3 make_sigdb.py --manifest CORPUS/manifest.json --out DIR -K 100000 -H 10 [--seed 9] [--no-yara]

K hash signatures and K window signatures (the planted ones from the manifest
plus seeded random fillers), and H heuristic strings (sigcommon.heur_strings).

DIR/nerlo/   database.db   encoded MD5 texts, one per line (33 bytes per entry)
             tdb.ldb       encoded window hex texts (64/66 bytes + LF)
             heuristics.db line 0 = encode(S1 CR LF S2 ... SH), then CR LF
DIR/clamav/  nerlo.hdb       MD5:size:Name
             nerlo-win.ndb   Name:0:<window first offset>:HEX   (fixed-offset body sigs)
             nerlo-heur.ndb  Name:0:*:HEX                       (anywhere)
DIR/yara/    hash.yar  win.yar  heur.yar   (same three sets as YARA rules)
"""
import argparse, json, os, random, sys, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sigcommon import WINDOWS, encode, heur_strings, hexu, SIZE_LIMIT


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--manifest", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("-K", type=int, required=True)
    ap.add_argument("-H", type=int, required=True)
    ap.add_argument("--seed", type=int, default=9)
    ap.add_argument("--no-yara", action="store_true")
    a = ap.parse_args()
    t0 = time.time()
    man = json.load(open(a.manifest))
    inf = man["infected"]
    r = random.Random(a.seed)

    # ---- hash signatures: (md5 hex upper, size, name)
    real_h = [(x["md5"], x["size"], "Nerlo.Inf.Hash.%03d" % n) for n, x in enumerate(inf) if x["kind"] == "md5"]
    hashes = [(r.randbytes(16).hex().upper(), r.randint(1024, SIZE_LIMIT - 1), "Nerlo.Fill.Hash.%07d" % i)
              for i in range(max(0, a.K - len(real_h)))]
    for x in real_h:
        hashes.insert(r.randrange(len(hashes) + 1), x)

    # ---- window signatures: (window number, hex upper, name)
    real_w = [(x["win"], x["win_hex"], "Nerlo.Inf.Win.%03d" % n) for n, x in enumerate(inf) if "win" in x]
    wins = []
    for i in range(max(0, a.K - len(real_w))):
        k = i % 8 + 1
        lo, hi = WINDOWS[k - 1]
        wins.append((k, hexu(r.randbytes(hi - lo + 1)), "Nerlo.Fill.Win.%07d" % i))
    for x in real_w:
        wins.insert(r.randrange(len(wins) + 1), x)

    heur = heur_strings(a.H)

    nd, cd, yd = (os.path.join(a.out, s) for s in ("nerlo", "clamav", "yara"))
    for d in (nd, cd, yd):
        os.makedirs(d, exist_ok=True)

    # ---- Nerlo format
    with open(os.path.join(nd, "database.db"), "wb") as f:
        f.write(b"".join(encode(h.encode()) + b"\n" for h, _, _ in hashes))
    with open(os.path.join(nd, "tdb.ldb"), "wb") as f:
        f.write(b"".join(encode(w.encode()) + b"\n" for _, w, _ in wins))
    with open(os.path.join(nd, "heuristics.db"), "wb") as f:
        line = encode(b"\r\n".join(heur))
        assert not any(c in line for c in (0, 10, 13))
        f.write(line + b"\r\n")

    # ---- ClamAV
    with open(os.path.join(cd, "nerlo.hdb"), "w") as f:
        f.writelines("%s:%d:%s\n" % (h.lower(), sz, nm) for h, sz, nm in hashes)
    with open(os.path.join(cd, "nerlo-win.ndb"), "w") as f:
        f.writelines("%s:0:%d:%s\n" % (nm, WINDOWS[k - 1][0], w.lower()) for k, w, nm in wins)
    with open(os.path.join(cd, "nerlo-heur.ndb"), "w") as f:
        f.writelines("Nerlo.Heur.%04d:0:*:%s\n" % (j, s.hex()) for j, s in enumerate(heur))

    # ---- YARA
    if not a.no_yara:
        sp = lambda hx: " ".join(hx[i:i + 2] for i in range(0, len(hx), 2))
        with open(os.path.join(yd, "hash.yar"), "w") as f:
            f.write('import "hash"\n')
            f.writelines('rule %s { condition: filesize == %d and hash.md5(0, filesize) == "%s" }\n'
                         % (nm.replace(".", "_"), sz, h.lower()) for h, sz, nm in hashes)
        with open(os.path.join(yd, "win.yar"), "w") as f:
            f.writelines("rule %s { strings: $a = { %s } condition: filesize < %d and $a at %d }\n"
                         % (nm.replace(".", "_"), sp(w), SIZE_LIMIT, WINDOWS[k - 1][0]) for k, w, nm in wins)
        with open(os.path.join(yd, "heur.yar"), "w") as f:
            f.writelines("rule Nerlo_Heur_%04d { strings: $a = { %s } condition: filesize < %d and $a }\n"
                         % (j, sp(s.hex()), SIZE_LIMIT) for j, s in enumerate(heur))

    json.dump({"K": a.K, "H": a.H, "seed": a.seed, "real_hash": len(real_h), "real_win": len(real_w),
               "hash_sigs": len(hashes), "win_sigs": len(wins)}, open(os.path.join(a.out, "sigdb.json"), "w"))
    print("K=%d H=%d -> %s (%d planted hash, %d planted window sigs) in %.1f s"
          % (a.K, a.H, a.out, len(real_h), len(real_w), time.time() - t0))


if __name__ == "__main__":
    main()
