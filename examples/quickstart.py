"""The small built-in example behind `make run`: k-means on PQ codes.

It draws 20,000 rows of 8-subquantizer codes around 12 prototype rows (one code
in four changed at random), clusters them with _NativePQKMeans, and reports how
well the clusters recover the prototypes.
"""

import time

import numpy as np

import tarvinex

rng = np.random.default_rng(0)
m, ks, ds, k, n = 8, 256, 4, 12, 20_000
codewords = rng.normal(size=(m, ks, ds)).astype(np.float32)
prototypes = rng.integers(0, ks, size=(k, m), dtype=np.uint8)
truth = rng.integers(0, k, size=n)
codes = prototypes[truth]
noise = rng.random(size=codes.shape) < 0.25
codes[noise] = rng.integers(0, ks, size=int(noise.sum()), dtype=np.uint8)

print(f"tarvinex kernels: {tarvinex.simd_runtime()}")
model = tarvinex._NativePQKMeans(codewords, k, iterations=10, seed=1, init="kmeans++", early_stopping=True)
start = time.perf_counter()
labels = model.fit_predict(codes)
elapsed = time.perf_counter() - start
history = model.inertia_history
print(f"fit {n} rows x {m} codes into k={k} clusters: {len(history)} passes in {elapsed * 1000:.1f} ms")
print("inertia per pass: " + " ".join(f"{value:.3f}" for value in history))
sizes = np.bincount(labels, minlength=k)
print(f"cluster sizes: {sorted(sizes.tolist(), reverse=True)}")
# Each found cluster should be dominated by one prototype.
purity = sum(np.bincount(truth[labels == j]).max() for j in range(k) if sizes[j]) / n
print(f"purity against the generating prototypes: {purity:.3f}")
