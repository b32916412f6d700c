/// One PQ k-means assignment pass over a large code matrix, by each path:
/// the center lookup table and the direct sums for Ks = 256, and for Ks = 16
/// the packed 4-bit scan with float tables and with the 8-bit fast-scan.
///
/// For each case it prints rows per second, nanoseconds per (row, center) and
/// the fraction of the bound that applies:
/// - table path: M*k table floats read and added per row, one vector add per
///   cycle and worker (workers x lanes x clock); the rows a pass reads mostly
///   come from cache, so the measured read bandwidth, printed for reference,
///   is not the limit;
/// - direct path: M*k scalar table reads and adds per row (workers x clock);
/// - fast-scan: M*k 16-bit lookup-adds per row, 32 rows per vector op.
///
/// The table cases run in blocks sized from this machine's L2 (the first line
/// says how large and where the figure came from); a third argument, a list
/// of slice sizes in KiB ("1024,4096,491520"), runs each table case again in
/// blocks of each slice, so one machine shows every regime, a virtual
/// machine's whole-host cache included.
///
/// Usage: bench_assign_pass [rows [path [slice_kib,...]]]   (default 1000000
/// rows, every path; a path runs only the cases whose path name starts with it)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "rng/seeded_rng.hpp"
#include "simd/cache_sizes.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"

namespace {

using namespace tarvinex;
using Clock = std::chrono::steady_clock;

double clock_hz() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("cpu MHz", 0) == 0) {
            return std::stod(line.substr(line.find(':') + 1)) * 1e6;
        }
    }
    return 2.5e9;
}

/// Read bandwidth in bytes per second: a parallel sum over 512 MiB.
double read_bandwidth() {
    std::vector<float> data(std::size_t{128} << 20, 1.0F);
    double best = 0;
    for (int repeat = 0; repeat < 3; ++repeat) {
        const auto start = Clock::now();
        const float total = parallel::reduce(
            std::size_t{0}, data.size(), 0.0F,
            [&](std::size_t b, std::size_t e, float acc) { return std::accumulate(&data[b], &data[e], acc); },
            [](float a, float b) { return a + b; });
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (total < 0) std::puts("");
        best = std::max(best, static_cast<double>(data.size() * sizeof(float)) / seconds);
    }
    return best;
}

struct Machine {
    double hz;
    double bandwidth;
    std::size_t workers;
    std::size_t float_lanes;
};

pqkmeans::PqKMeans make_model(std::size_t m, std::size_t ks, std::size_t k, std::size_t budget) {
    const std::size_t ds = 8;
    std::vector<float> values(m * ks * ds);
    rng::SeededRng rng = rng::SeededRng::seed_from_u64(7);
    for (float& v : values) v = static_cast<float>(rng.next_u32() % 1000) / 100.0F;
    array::Codebook<float> codewords(std::move(values), array::Shape<3>{m, ks, ds});
    return pqkmeans::PqKMeans::new_with_options_and_spherical(std::move(codewords), std::nullopt, k, 1, 0, false,
                                                              budget, pqkmeans::InitMethod::Random, false, false)
        .value();
}

std::string g_path_filter;

/// The table's block width: the pass's own choice, or that of a given slice.
std::size_t block_for(const pqkmeans::PqKMeans& model, const pq4::PackedPq4Codes* packed,
                      const pq4::FastScanSettings& scan, std::optional<std::size_t> slice_bytes) {
    if (!slice_bytes || (packed != nullptr && scan.enabled)) {
        return model.scan_block_centers(packed, scan);
    }
    return pqkmeans::lookup_block_centers(model.num_subquantizers(), model.codebook_size(), model.k(), *slice_bytes);
}

void run_case(const Machine& machine, const char* path, std::size_t n, std::size_t m, std::size_t ks, std::size_t k,
              bool use_table, bool fastscan, std::optional<std::size_t> slice_bytes = std::nullopt) {
    if (std::string(path).rfind(g_path_filter, 0) != 0) {
        return;
    }
    const pqkmeans::PqKMeans model = make_model(m, ks, k, use_table ? std::size_t{1} << 40 : 0);
    std::vector<std::uint8_t> codes(n * m);
    rng::SeededRng rng = rng::SeededRng::seed_from_u64(11);
    for (auto& c : codes) c = static_cast<std::uint8_t>(rng.next_u32() % ks);
    std::vector<std::uint8_t> centers(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(k * m));
    const auto code_view = array::MatrixView<const std::uint8_t>::c_order(codes.data(), {n, m});
    const auto center_view = array::MatrixView<const std::uint8_t>::c_order(centers.data(), {k, m});

    std::optional<pq4::PackedPq4Codes> packed = model.pack_pq4_codes(code_view).value();
    const pq4::FastScanSettings scan{.enabled = fastscan, .calibration = pq4::LutCalibration::Global};
    pqkmeans::AssignmentBuffers buffers = pqkmeans::AssignmentBuffers::create(n);
    pqkmeans::ClusterProfile profile;
    const pq4::PackedPq4Codes* packing = packed ? &*packed : nullptr;
    const std::size_t block = block_for(model, packing, scan, slice_bytes);
    const auto start = Clock::now();
    if (!use_table) {
        if (!model.assign_codes_into(code_view, center_view, profile, packing, scan, buffers)) {
            std::fprintf(stderr, "assignment failed\n");
            std::exit(1);
        }
    } else {
        // The table path as the pass runs it, with the block width chosen here.
        if (!model.build_lookup_tables_into(center_view, block, buffers.lookup)) {
            std::fprintf(stderr, "the table does not fit\n");
            std::exit(1);
        }
        pqkmeans::scan_lookup_table_into(code_view, packing, scan, ks, k, block, buffers);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    const double pairs = static_cast<double>(n) * static_cast<double>(k);
    const double lookups = pairs * static_cast<double>(m);
    double bound_seconds = 0;
    const char* bound = "";
    if (fastscan) {
        bound_seconds = lookups / (static_cast<double>(machine.workers) * 32.0 * machine.hz);
        bound = "16-bit lookup-adds";
    } else if (!use_table) {
        bound_seconds = lookups / (static_cast<double>(machine.workers) * machine.hz);
        bound = "scalar lookup-adds";
    } else {
        bound_seconds = lookups / (static_cast<double>(machine.workers * machine.float_lanes) * machine.hz);
        bound = "vector float adds";
    }
    const std::string blocks = use_table ? " B=" + std::to_string(std::min(block, k)) : "";
    std::printf("%-18s M=%-3zu Ks=%-3zu k=%-5zu%-8s %10.3f s %12.0f rows/s %8.3f ns/(row*center)  %5.1f%% of %s\n",
                path, m, ks, k, blocks.c_str(), seconds, static_cast<double>(n) / seconds, seconds * 1e9 / pairs,
                100.0 * bound_seconds / seconds, bound);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    g_path_filter = argc > 2 ? argv[2] : "";
    std::vector<std::size_t> slices;
    if (argc > 3) {
        for (const char* p = argv[3]; *p != '\0';) {
            char* end = nullptr;
            slices.push_back(std::strtoull(p, &end, 10) << 10);
            p = *end == ',' ? end + 1 : end;
        }
    }
    const simd::SliceKernel family = simd::selected_slice_kernel();
    const Machine machine{clock_hz(), read_bandwidth(), parallel::worker_count(),
                          family == simd::SliceKernel::Avx512 ? std::size_t{16}
                          : family == simd::SliceKernel::Avx2 ? std::size_t{8}
                                                              : std::size_t{1}};
    const char* coretype = std::getenv("OPENBLAS_CORETYPE");
    std::printf("rows=%zu kernels=%s workers=%zu clock=%.2f GHz read bandwidth=%.1f GB/s OPENBLAS_CORETYPE=%s\n", n,
                simd::simd_runtime_label(), machine.workers, machine.hz / 1e9, machine.bandwidth / 1e9,
                coretype != nullptr ? coretype : "(unset)");
    const simd::CacheSizes& cache = simd::detected_cache_sizes();
    std::printf("L2 per core %zu KiB (%s): table slices of %zu KiB\n", cache.l2_bytes >> 10, cache.source.c_str(),
                pqkmeans::lookup_block_slice_bytes(cache) >> 10);
    for (const std::size_t m : {8, 16}) {
        for (const std::size_t k : {256, 1024, 4096, 10000}) {
            run_case(machine, "table", n, m, 256, k, true, false);
            for (const std::size_t slice : slices) {
                run_case(machine, ("table " + std::to_string(slice >> 10) + "K").c_str(), n, m, 256, k, true, false,
                         slice);
            }
            if (k <= 4096) {
                run_case(machine, "direct", n, m, 256, k, false, false);
            }
        }
    }
    for (const std::size_t m : {16, 32}) {
        for (const std::size_t k : {256, 1024, 4096}) {
            run_case(machine, "pq4 float table", n, m, 16, k, true, false);
            for (const std::size_t slice : slices) {
                run_case(machine, ("pq4 float " + std::to_string(slice >> 10) + "K").c_str(), n, m, 16, k, true, false,
                         slice);
            }
            run_case(machine, "pq4 fast-scan", n, m, 16, k, true, true);
        }
    }
    return 0;
}
