"""Small PQ fixtures with integer-valued codewords, so every table distance and
every sum of them is exact in float32 and a NumPy reference agrees bit for bit."""

import numpy as np


def make_codewords(m=4, ks=8, ds=2, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 10, size=(m, ks, ds)).astype(np.float32)


def make_codes(n=300, m=4, ks=8, seed=1, clusters=None):
    rng = np.random.default_rng(seed)
    if clusters is None:
        return rng.integers(0, ks, size=(n, m), dtype=np.uint8)
    # Rows near a few prototypes: one code in four changed at random.
    prototypes = rng.integers(0, ks, size=(clusters, m), dtype=np.uint8)
    codes = prototypes[rng.integers(0, clusters, size=n)]
    noise = rng.random(size=codes.shape) < 0.25
    codes[noise] = rng.integers(0, ks, size=int(noise.sum()), dtype=np.uint8)
    return codes


def codeword_distance_table(codewords):
    diff = codewords[:, :, None, :] - codewords[:, None, :, :]
    return (diff * diff).sum(axis=-1, dtype=np.float32)


def symmetric_distances(codes, centers, codewords):
    """(n, k) sums of table entries between each row's and each center's codes."""
    table = codeword_distance_table(codewords)
    m = codes.shape[1]
    total = np.zeros((codes.shape[0], centers.shape[0]), dtype=np.float32)
    for s in range(m):
        total += table[s][codes[:, s][:, None], centers[:, s][None, :]]
    return total
