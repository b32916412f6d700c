#pragma once
/// The cache one core really has, for the tuning figures of the scans (table
/// block widths, dense score tiles).
///
/// Only a core's own L2 is trusted. The last-level cache a virtual machine
/// reports can be the whole host's (480 MiB seen on a two-core guest), which
/// no block sized from it would ever fit in; the L2 is private to a core on
/// every x86-64 server we run on, and a guest sees its real size. The sizes
/// are a value, so callers, tests and benchmarks can hand any machine's in.

#include <cstddef>
#include <string>

namespace tarvinex::simd {

struct CacheSizes {
    std::size_t l2_bytes = 0;
    /// Where the figure came from: "sysfs index<N>", "sysconf", "assumed"
    /// or, for injected sizes, what the caller says.
    std::string source;
};

/// The L2 of one core as the kernel's cache directory of cpu0 describes it
/// (`cache_dir`/index*/{level,type,size}: the level-2 data or unified cache),
/// else sysconf's figure, else 1 MiB.
[[nodiscard]] CacheSizes read_cache_sizes(const std::string& cache_dir = "/sys/devices/system/cpu/cpu0/cache");

/// This machine's, read on first use.
[[nodiscard]] const CacheSizes& detected_cache_sizes();

}  // namespace tarvinex::simd
