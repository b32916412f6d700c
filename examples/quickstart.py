"""The small built-in example behind `make run`."""

import tarvinex

print(f"tarvinex kernels: {tarvinex.simd_runtime()}")
