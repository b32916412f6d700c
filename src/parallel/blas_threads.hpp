#pragma once
/// OpenBLAS runs its own thread pool beside ours. Left alone it starts one
/// thread per CPU it sees (ignoring the cgroup quota), and those threads then
/// compete with the pool's workers; a few threads already saturate the
/// products the engines hand it.

#include <cstddef>

namespace tarvinex::parallel {

/// The most threads OpenBLAS may use.
inline constexpr std::size_t kMaxBlasThreads = 4;

/// Sets OpenBLAS's pool to min(kMaxBlasThreads, available_cpu_count()).
/// Call it once when the library loads; later calls do nothing.
void limit_blas_threads();

}  // namespace tarvinex::parallel
