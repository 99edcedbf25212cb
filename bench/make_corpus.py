#!/usr/bin/env python3
"""Generates a deterministic scan corpus and signature sets for the whole-scan benchmark.

    make_corpus.py corpus OUT_DIR [--files N] [--seed S]
    make_corpus.py databases OUT_DIR CORPUS_DIR --signatures K --heuristics H [--seed S]

The corpus is N files in nested folders (depth up to four, up to 40 entries a folder), with
sizes from 1 KiB to 6 MiB, most of them small: 95% from 1 to 16 KiB, 4.5% up to 1 MiB, 0.5%
up to 6 MiB (so some lie above the 5 MiB limit). A few files are planted detections: one in
500 carries its hash signature, one in 500 carries a heuristic string, one in 500 its byte
windows. The list of planted files is written to OUT_DIR/../planted-<kind>.txt.

The databases hold K hash signatures and K window signatures (the planted ones and random
others, in the encoded form that the scanner stores, entries separated by CR LF) and H
heuristic strings (the planted one among random others).
"""
import argparse
import hashlib
import os
import random
import sys

SHIFT = 13  # the scanner's cipher key gives this shift
WINDOWS = [(400, 431)] + [(432 + 33 * i, 464 + 33 * i) for i in range(7)]
PLANTED_HEURISTIC = b"NERLO-BENCH-PLANTED-HEURISTIC"


def encode(text: bytes) -> bytes:
    return bytes((b + SHIFT) % 256 for b in text)


def size_for(r: random.Random) -> int:
    p = r.random()
    if p < 0.95:
        return r.randint(1024, 16 * 1024)
    if p < 0.995:
        return r.randint(16 * 1024, 1024 * 1024)
    return r.randint(1024 * 1024, 6 * 1024 * 1024)


def corpus(out_dir: str, files: int, seed: int) -> None:
    r = random.Random(seed)
    os.makedirs(out_dir, exist_ok=True)
    planted = {"hash": [], "heuristic": [], "windows": []}
    # Folders: a random tree, files spread over it.
    folders = [out_dir]
    for i in range(max(1, files // 25)):
        parent = r.choice(folders)
        if parent.count(os.sep) - out_dir.count(os.sep) >= 4:
            parent = out_dir
        folder = os.path.join(parent, f"d{i:05d}")
        os.makedirs(folder, exist_ok=True)
        folders.append(folder)
    for i in range(files):
        size = size_for(r)
        # Random bytes of its own for every file, so that no file shares a byte window or a
        # fingerprint with a planted one by accident.
        data = bytearray(r.randbytes(size))
        kind = None
        if i % 500 == 7 and size < 5 * 1024 * 1024:
            kind = "hash"
        elif i % 500 == 250 and size < 5 * 1024 * 1024:
            kind = "heuristic"
            pos = r.randrange(700, size - len(PLANTED_HEURISTIC))
            data[pos:pos + len(PLANTED_HEURISTIC)] = PLANTED_HEURISTIC
        elif i % 500 == 400 and size < 5 * 1024 * 1024:
            kind = "windows"
        path = os.path.join(r.choice(folders), f"f{i:06d}.bin")
        with open(path, "wb") as f:
            f.write(data)
        if kind:
            planted[kind].append(path)
    parent = os.path.dirname(os.path.abspath(out_dir))
    for kind, paths in planted.items():
        with open(os.path.join(parent, f"planted-{kind}.txt"), "w") as f:
            f.write("\n".join(paths) + ("\n" if paths else ""))


def databases(out_dir: str, corpus_dir: str, k: int, h: int, seed: int) -> None:
    r = random.Random(seed)
    os.makedirs(out_dir, exist_ok=True)
    parent = os.path.dirname(os.path.abspath(corpus_dir))

    def planted(kind):
        with open(os.path.join(parent, f"planted-{kind}.txt")) as f:
            return [line.strip() for line in f if line.strip()]

    hashes = [hashlib.md5(open(p, "rb").read()).hexdigest().upper().encode()
              for p in planted("hash")]
    while len(hashes) < k:
        hashes.append(r.randbytes(16).hex().upper().encode())
    windows = []
    for p in planted("windows"):
        data = open(p, "rb").read()
        windows += [data[a:b + 1].hex().upper().encode() for a, b in WINDOWS]
    while len(windows) < k:
        windows.append(r.randbytes(33 if len(windows) % 8 else 32).hex().upper().encode())
    heuristics = [PLANTED_HEURISTIC]
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."
    while len(heuristics) < h:
        heuristics.append(bytes(r.choice(alphabet) for _ in range(r.randint(8, 40))))
    r.shuffle(hashes)
    r.shuffle(windows)
    with open(os.path.join(out_dir, "database.db"), "wb") as f:
        f.write(b"\r\n".join(encode(x) for x in hashes[:k]) + b"\r\n")
    with open(os.path.join(out_dir, "tdb.ldb"), "wb") as f:
        f.write(b"\r\n".join(encode(x) for x in windows[:k]) + b"\r\n")
    with open(os.path.join(out_dir, "heuristics.db"), "wb") as f:
        f.write(encode(b"\r\n".join(heuristics[:h])) + b"\r\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("corpus")
    c.add_argument("out_dir")
    c.add_argument("--files", type=int, default=20000)
    c.add_argument("--seed", type=int, default=1)
    d = sub.add_parser("databases")
    d.add_argument("out_dir")
    d.add_argument("corpus_dir")
    d.add_argument("--signatures", type=int, required=True)
    d.add_argument("--heuristics", type=int, required=True)
    d.add_argument("--seed", type=int, default=2)
    args = parser.parse_args()
    if args.command == "corpus":
        corpus(args.out_dir, args.files, args.seed)
    else:
        databases(args.out_dir, args.corpus_dir, args.signatures, args.heuristics, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
