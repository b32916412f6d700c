"""The small built-in example behind `make run`: k-means on PQ codes.

It draws 20,000 vectors around 12 centers, trains product-quantization
codebooks for them with _NativeProductQuantizer (8 subspaces of 4 dimensions,
256 codewords each), encodes the vectors, and clusters the codes with
_NativePQKMeans, verbose on: one line per pass goes to standard error.
Then it clusters the same vectors directly with _NativeDenseKMeans.
"""

import numpy as np

import tarvinex

rng = np.random.default_rng(0)
n, dim, true_k = 20_000, 32, 12
m, ks = 8, 256
prototypes = rng.normal(scale=4.0, size=(true_k, dim)).astype(np.float32)
truth = rng.integers(0, true_k, size=n)
vectors = prototypes[truth] + rng.normal(size=(n, dim)).astype(np.float32)

# Codebooks: per subspace, five Lloyd passes; then the codes of every vector.
quantizer = tarvinex._NativeProductQuantizer(m, ks, iterations=5, seed=0)
quantizer.fit(vectors)
codewords = quantizer.codewords
codes = quantizer.encode(vectors)

print(f"tarvinex kernels: {tarvinex.simd_runtime()}")
model = tarvinex._NativePQKMeans(codewords, true_k, iterations=20, seed=1, verbose=True, init="kmeans++",
                                 early_stopping=True)
labels = model.fit_predict(codes)
sizes = np.bincount(labels, minlength=true_k)
print(f"clustered {n} codes of {m} subquantizers into k={true_k}: {len(model.inertia_history)} passes")
print(f"cluster sizes: {sorted(sizes.tolist(), reverse=True)}")
print(f"final inertia: {model.inertia_history[-1]:.4f}")
purity = sum(np.bincount(truth[labels == j]).max() for j in range(true_k) if sizes[j]) / n
print(f"purity against the generating centers: {purity:.3f}")

# The same vectors clustered as floats, without quantization. Farthest-first
# seeding puts one first center in each of these well-apart groups.
dense = tarvinex._NativeDenseKMeans(true_k, iterations=20, seed=1, init="farthest_first", early_stopping=True)
dense_labels = dense.fit_predict(vectors)
dense_sizes = np.bincount(dense_labels, minlength=true_k)
dense_purity = sum(np.bincount(truth[dense_labels == j]).max() for j in range(true_k) if dense_sizes[j]) / n
print(f"dense k-means on the {dim}-dimensional vectors: {len(dense.inertia_history)} passes, "
      f"final inertia {dense.inertia_history[-1]:.4f}, purity {dense_purity:.3f}")
