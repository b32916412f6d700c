#pragma once
/// The simd module: processor features and caches, the kernel-family choice, the slice
/// kernels and the fixed-width distances.

#include "simd/cache_sizes.hpp"
#include "simd/cpu_features.hpp"
#include "simd/distance.hpp"
#include "simd/min_distance_kernels.hpp"
#include "simd/preference.hpp"
#include "simd/slice_kernels.hpp"
