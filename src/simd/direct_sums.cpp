#include "simd/direct_sums.hpp"

namespace tarvinex::simd {

DirectRowKernels direct_row_kernels(SliceKernel family, const CpuFeatures& features) {
    static constexpr DirectRowKernels kLanes{interleave_row_tables_avx2, nearest_direct_rows_avx2};
    static constexpr KernelTable<DirectRowKernels> kTable{DirectRowKernels{}, kLanes, kLanes};
    return kTable.for_family(family, features);
}

}  // namespace tarvinex::simd
