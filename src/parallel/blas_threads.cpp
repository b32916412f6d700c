/// Caps the OpenBLAS thread pool, once per process.

#include "parallel/blas_threads.hpp"

#include <cblas.h>

#include <algorithm>

#include "parallel/cpu_count.hpp"

namespace tarvinex::parallel {

void limit_blas_threads() {
    [[maybe_unused]] static const bool limited = [] {
        openblas_set_num_threads(static_cast<int>(std::min(kMaxBlasThreads, available_cpu_count())));
        return true;
    }();
}

}  // namespace tarvinex::parallel
