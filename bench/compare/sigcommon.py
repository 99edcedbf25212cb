"""Shared definitions for the bench generators (corpus + signature databases).

Nerlo's cipher key "quietharborlights42" is not a number, so its shift is 13;
encode adds 13 to every byte (mod 256).
"""
import random

SHIFT = 13
SIZE_LIMIT = 5_242_880          # files at or above are not examined
# the eight byte windows (first, last) inclusive
WINDOWS = [(400, 431)] + [(432 + 33 * k, 432 + 33 * k + 32) for k in range(7)]
assert WINDOWS[-1] == (630, 662)
HEUR_PLANTABLE = 10             # infected files only plant strings 0..9 (so H>=10 covers them)


def encode(b: bytes) -> bytes:
    return bytes((x + SHIFT) & 0xFF for x in b)


def hexu(b: bytes) -> str:
    return b.hex().upper()


def heur_strings(h: int, seed: int = 4242) -> list:
    """H deterministic heuristic strings: printable ASCII (no CR/LF, no zero byte),
    8..32 bytes. String j is the same for every H, so H=10 is a prefix of H=100."""
    alphabet = (b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                b"._-:/\\!#$%&()*+,;<=>?@[]^{}|~ ")
    out = []
    for j in range(h):
        r = random.Random(seed * 1_000_003 + j)
        n = r.randint(8, 32)
        s = bytes(r.choice(alphabet) for _ in range(n))
        out.append(s)
    return out
