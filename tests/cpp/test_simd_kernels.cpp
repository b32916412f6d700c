// The slice kernels and the fixed-width distances: every vector form against
// the portable form and against its documented summation order, the NaN and
// tie rules, and witnesses that no product is fused into its sum.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "simd/simd.hpp"
#include "testing.hpp"

namespace {

namespace simd = tarvinex::simd;
using simd::DistanceKernel;
using simd::IndexedValue;
using simd::SliceKernel;
using simd::SliceKernelTable;

using tarvinex::test::bit_patterns;
using tarvinex::test::bits;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;

constexpr std::size_t kLengths[] = {1, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 64, 65};
constexpr std::size_t kCenterCounts[] = {0, 1, 3, 4, 5, 6, 7, 8, 9, 12, 13, 17, 20};

/// Elements placed flush against an inaccessible page: a kernel that touches
/// one element past its slice crashes the test instead of passing.
template <typename T>
class Guarded {
public:
    explicit Guarded(const std::vector<T>& values) : size_(values.size()) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t bytes = values.size() * sizeof(T);
        const std::size_t data_pages = (bytes + page - 1) / page;
        length_ = (data_pages + 1) * page;
        void* base = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        base_ = static_cast<char*>(base);
        if (mprotect(base_ + data_pages * page, page, PROT_NONE) != 0) {
            throw std::runtime_error("mprotect failed");
        }
        data_ = reinterpret_cast<T*>(base_ + data_pages * page - bytes);
        if (bytes != 0) {
            std::memcpy(data_, values.data(), bytes);
        }
    }
    ~Guarded() { munmap(base_, length_); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    [[nodiscard]] std::span<T> span() { return {data_, size_}; }
    [[nodiscard]] std::span<const T> view() const { return {data_, size_}; }

private:
    char* base_ = nullptr;
    std::size_t length_ = 0;
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

class TestRng : public tarvinex::test::SplitMix {
public:
    using SplitMix::SplitMix;
    /// Integers in [-8, 8]: every sum of the tested sizes is exact.
    std::vector<float> integers(std::size_t n) { return SplitMix::integers(n, -8, 8); }
    /// Signed values spread over 2^-10 .. 2^10, so summation order shows.
    std::vector<float> wide(std::size_t n) { return spread(n, -10, 21, true); }
};

void expect_same(IndexedValue got, IndexedValue want) {
    EXPECT_EQ(got.index, want.index);
    EXPECT_EQ(bits(got.value), bits(want.value)) << got.value << " vs " << want.value;
}

/// `n` copies of `fill` with some positions overridden.
std::vector<float> filled(std::size_t n, float fill, std::initializer_list<std::pair<std::size_t, float>> at = {}) {
    std::vector<float> v(n, fill);
    for (const auto& [i, x] : at) {
        v[i] = x;
    }
    return v;
}

/// `values` with a NaN at start, start + step, ...
std::vector<float> nan_every(std::vector<float> values, std::size_t start, std::size_t step) {
    for (std::size_t i = start; i < values.size(); i += step) {
        values[i] = kNaN;
    }
    return values;
}

// --- The documented orders, spelled out in plain scalar code ---------------

enum class Reduction { Pairwise, LaneOrder };

float reduce(const std::vector<float>& s, Reduction r) {
    if (r == Reduction::Pairwise) {
        const float h0 = s[0] + s[4];
        const float h1 = s[1] + s[5];
        const float h2 = s[2] + s[6];
        const float h3 = s[3] + s[7];
        return (h0 + h1) + (h2 + h3);
    }
    float total = s[0];
    for (std::size_t j = 1; j < s.size(); ++j) {
        total = total + s[j];
    }
    return total;
}

/// Sum of term(i), i < n: `lanes` lane sums over the full blocks from zero in
/// block order, the reduction, then the tail one by one.
template <typename Term>
float documented_sum(std::size_t lanes, std::size_t n, Reduction r, Term term) {
    std::vector<float> s(lanes, 0.0F);
    const std::size_t full = n - n % lanes;
    for (std::size_t b = 0; b < full; b += lanes) {
        for (std::size_t j = 0; j < lanes; ++j) {
            s[j] = s[j] + term(b + j);
        }
    }
    float total = reduce(s, r);
    for (std::size_t i = full; i < n; ++i) {
        total = total + term(i);
    }
    return total;
}

template <typename Term>
float sequential_sum(std::size_t n, Term term) {
    float total = 0.0F;
    for (std::size_t i = 0; i < n; ++i) {
        total = total + term(i);
    }
    return total;
}

IndexedValue select_least(const std::vector<float>& scores) {
    IndexedValue best{0, kInf};
    for (std::size_t j = 0; j < scores.size(); ++j) {
        if (scores[j] < best.value) {
            best = {j, scores[j]};
        }
    }
    return best;
}

IndexedValue select_greatest(const std::vector<float>& scores) {
    IndexedValue best{0, -kInf};
    for (std::size_t j = 0; j < scores.size(); ++j) {
        if (scores[j] > best.value) {
            best = {j, scores[j]};
        }
    }
    return best;
}

// --- The forms under test --------------------------------------------------

bool has_avx2() { return simd::detected_cpu_features().avx2; }
bool has_avx512() { return simd::detected_cpu_features().avx512f; }

constexpr SliceKernelTable kPortable{
    simd::argmin_scalar,
    simd::l2_distance_scalar,
    simd::add_assign_scalar,
    simd::scaled_add_assign_scalar,
    simd::nearest_l2_center_scalar,
    simd::nearest_dot_center_scalar,
    simd::select_lookup_min_scalar,
    simd::lookup_min_from_scalar,
    simd::lookup_min_rows_scalar,
    simd::least_l2_from_scores_scalar,
    simd::greatest_score_scalar,
};

struct Variant {
    const char* name;
    SliceKernel family;
    bool (*available)();
    SliceKernelTable kernels;
    std::size_t lanes;
    /// nearest_l2_center reduces centers in full groups of this size pairwise,
    /// the rest in lane order (0: lane order everywhere).
    std::size_t l2_pairwise_group;
    Reduction dot_reduction;

    [[nodiscard]] Reduction l2_reduction(std::size_t center, std::size_t k) const {
        const bool grouped = l2_pairwise_group != 0 && center < k - k % l2_pairwise_group;
        return grouped ? Reduction::Pairwise : Reduction::LaneOrder;
    }
};

const Variant kAvx2{"avx2",
                    SliceKernel::Avx2,
                    has_avx2,
                    {simd::argmin_avx2, simd::l2_distance_avx2, simd::add_assign_avx2, simd::scaled_add_assign_avx2,
                     simd::nearest_l2_center_avx2, simd::nearest_dot_center_avx2, simd::select_lookup_min_avx2,
                     simd::lookup_min_from_avx2, simd::lookup_min_rows_avx2, simd::least_l2_from_scores_avx2,
                     simd::greatest_score_avx2},
                    8,
                    4,
                    Reduction::Pairwise};
const Variant kAvx512{"avx512",
                      SliceKernel::Avx512,
                      has_avx512,
                      {simd::argmin_avx512, simd::l2_distance_avx512, simd::add_assign_avx512,
                       simd::scaled_add_assign_avx512, simd::nearest_l2_center_avx512, simd::nearest_dot_center_avx512,
                       simd::select_lookup_min_avx512, simd::lookup_min_from_avx512, simd::lookup_min_rows_avx512,
                       simd::least_l2_from_scores_avx512, simd::greatest_score_avx512},
                      16,
                      0,
                      Reduction::LaneOrder};

/// The portable form and every vector form this processor can run.
std::vector<std::pair<const char*, const SliceKernelTable*>> runnable_forms() {
    std::vector<std::pair<const char*, const SliceKernelTable*>> forms{{"scalar", &kPortable}};
    for (const Variant* v : {&kAvx2, &kAvx512}) {
        if (v->available()) {
            forms.emplace_back(v->name, &v->kernels);
        }
    }
    return forms;
}

void expect_same_table(const SliceKernelTable& got, const SliceKernelTable& want) {
    EXPECT_EQ(got.argmin, want.argmin);
    EXPECT_EQ(got.l2_distance, want.l2_distance);
    EXPECT_EQ(got.add_assign, want.add_assign);
    EXPECT_EQ(got.scaled_add_assign, want.scaled_add_assign);
    EXPECT_EQ(got.nearest_l2_center, want.nearest_l2_center);
    EXPECT_EQ(got.nearest_dot_center, want.nearest_dot_center);
    EXPECT_EQ(got.select_lookup_min, want.select_lookup_min);
    EXPECT_EQ(got.lookup_min_from, want.lookup_min_from);
    EXPECT_EQ(got.lookup_min_rows, want.lookup_min_rows);
    EXPECT_EQ(got.least_l2_from_scores, want.least_l2_from_scores);
    EXPECT_EQ(got.greatest_score, want.greatest_score);
}

TEST(SliceKernelDispatch, EachFamilyGetsItsOwnForms) {
    expect_same_table(simd::slice_kernels(SliceKernel::Scalar), kPortable);
    expect_same_table(simd::slice_kernels(SliceKernel::Avx2), kAvx2.kernels);
    expect_same_table(simd::slice_kernels(SliceKernel::Avx512), kAvx512.kernels);
    expect_same_table(simd::slice_kernels(), simd::slice_kernels(simd::selected_slice_kernel()));
}

void PrintTo(const Variant& variant, std::ostream* os) { *os << variant.name; }

class VectorForm : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) {
            GTEST_SKIP() << "this processor lacks " << GetParam().name;
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Simd, VectorForm, testing::Values(kAvx2, kAvx512),
                         [](const testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

TEST_P(VectorForm, MatchesPortableFormOnIntegerValues) {
    const SliceKernelTable& vec = GetParam().kernels;
    TestRng rng(1);
    for (const std::size_t n : kLengths) {
        SCOPED_TRACE("n = " + std::to_string(n));
        const std::vector<float> a = rng.integers(n);
        const std::vector<float> b = rng.integers(n);
        const Guarded<float> ga(a);
        const Guarded<float> gb(b);
        expect_same(vec.argmin(ga.view()), kPortable.argmin(ga.view()));
        EXPECT_EQ(bits(vec.l2_distance(ga.view(), gb.view())), bits(kPortable.l2_distance(ga.view(), gb.view())));

        std::vector<float> sum = a;
        kPortable.add_assign(sum, b);
        Guarded<float> dst(a);
        vec.add_assign(dst.span(), gb.view());
        EXPECT_EQ(bit_patterns(dst.view()), bit_patterns(sum));

        std::vector<float> scaled = a;
        kPortable.scaled_add_assign(scaled, b, -3.0F);
        Guarded<float> scaled_dst(a);
        vec.scaled_add_assign(scaled_dst.span(), gb.view(), -3.0F);
        EXPECT_EQ(bit_patterns(scaled_dst.view()), bit_patterns(scaled));
    }
    for (const std::size_t k : kCenterCounts) {
        for (const std::size_t dim : kLengths) {
            SCOPED_TRACE("k = " + std::to_string(k) + ", dim = " + std::to_string(dim));
            const Guarded<float> row(rng.integers(dim));
            const Guarded<float> centers(rng.integers(k * dim));
            expect_same(vec.nearest_l2_center(row.view(), centers.view(), k, dim),
                        kPortable.nearest_l2_center(row.view(), centers.view(), k, dim));
            expect_same(vec.nearest_dot_center(row.view(), centers.view(), k, dim),
                        kPortable.nearest_dot_center(row.view(), centers.view(), k, dim));
        }
        for (const std::size_t m : {1, 2, 5}) {
            SCOPED_TRACE("k = " + std::to_string(k) + ", M = " + std::to_string(m));
            constexpr std::size_t kKs = 3;
            const Guarded<std::uint8_t> codes(rng.codes(m, kKs));
            const Guarded<float> table(rng.integers(m * kKs * k));
            expect_same(vec.select_lookup_min(codes.view(), table.view(), kKs, k),
                        kPortable.select_lookup_min(codes.view(), table.view(), kKs, k));
        }
    }
    // Center counts around the four-group blocks of the lookup kernels (32
    // centers for AVX2, 64 for AVX-512) and their leftovers.
    for (const std::size_t k : {31, 32, 33, 47, 63, 64, 65, 100, 130}) {
        for (const std::size_t m : {1, 5}) {
            SCOPED_TRACE("k = " + std::to_string(k) + ", M = " + std::to_string(m));
            constexpr std::size_t kKs = 4;
            const Guarded<std::uint8_t> codes(rng.codes(m, kKs));
            const Guarded<float> table(rng.integers(m * kKs * k));
            expect_same(vec.select_lookup_min(codes.view(), table.view(), kKs, k),
                        kPortable.select_lookup_min(codes.view(), table.view(), kKs, k));
        }
    }
}

TEST_P(VectorForm, FollowsDocumentedOrderOnWideValues) {
    const Variant& variant = GetParam();
    const SliceKernelTable& vec = variant.kernels;
    TestRng rng(2);
    // The data must be able to tell the documented order from a sequential one.
    std::size_t order_visible = 0;
    for (const std::size_t n : kLengths) {
        SCOPED_TRACE("n = " + std::to_string(n));
        const std::vector<float> a = rng.wide(n);
        const std::vector<float> b = rng.wide(n);
        auto term = [&](std::size_t i) {
            const float d = a[i] - b[i];
            return d * d;
        };
        const float want = documented_sum(variant.lanes, n, Reduction::LaneOrder, term);
        order_visible += bits(want) != bits(sequential_sum(n, term)) ? 1 : 0;
        EXPECT_EQ(bits(vec.l2_distance(a, b)), bits(want));

        // Element-wise and selection kernels do not depend on order at all.
        expect_same(vec.argmin(a), kPortable.argmin(a));
        std::vector<float> want_sum = a;
        kPortable.scaled_add_assign(want_sum, b, 0.7F);
        std::vector<float> got_sum = a;
        vec.scaled_add_assign(got_sum, b, 0.7F);
        EXPECT_EQ(bit_patterns(got_sum), bit_patterns(want_sum));
    }
    for (const std::size_t k : kCenterCounts) {
        for (const std::size_t dim : {7, 16, 33, 65}) {
            SCOPED_TRACE("k = " + std::to_string(k) + ", dim = " + std::to_string(dim));
            const std::vector<float> row = rng.wide(dim);
            const std::vector<float> centers = rng.wide(k * dim);
            std::vector<float> distances(k);
            std::vector<float> dots(k);
            for (std::size_t c = 0; c < k; ++c) {
                const float* center = centers.data() + c * dim;
                distances[c] = documented_sum(variant.lanes, dim, variant.l2_reduction(c, k), [&](std::size_t i) {
                    const float d = row[i] - center[i];
                    return d * d;
                });
                dots[c] = documented_sum(variant.lanes, dim, variant.dot_reduction,
                                         [&](std::size_t i) { return row[i] * center[i]; });
            }
            expect_same(vec.nearest_l2_center(row, centers, k, dim), select_least(distances));
            expect_same(vec.nearest_dot_center(row, centers, k, dim), select_greatest(dots));
        }
        constexpr std::size_t kKs = 4;
        const std::vector<std::uint8_t> codes = rng.codes(3, kKs);
        const std::vector<float> table = rng.wide(3 * kKs * k);
        expect_same(vec.select_lookup_min(codes, table, kKs, k), kPortable.select_lookup_min(codes, table, kKs, k));
    }
    EXPECT_GT(order_visible, 0U);
}

TEST_P(VectorForm, CenterDistanceDependsOnItsGroup) {
    // Lane sums 2^24, 1, 1, ...: in lane order every 1 is rounded away, while
    // the pairwise reduction keeps 6 of them (h = 2^24, 2, 2, 2).
    const Variant& variant = GetParam();
    const std::size_t dim = variant.lanes;
    const std::vector<float> row(dim, 0.0F);
    const float lane_order = 16777216.0F;
    const float grouped = variant.l2_pairwise_group != 0 ? 16777222.0F : lane_order;
    constexpr std::size_t kK = 6;
    for (std::size_t position = 0; position < kK; ++position) {
        SCOPED_TRACE("position " + std::to_string(position));
        std::vector<float> centers(kK * dim, 1.0e4F);
        std::fill_n(centers.begin() + static_cast<std::ptrdiff_t>(position * dim), dim, 1.0F);
        centers[position * dim] = 4096.0F;
        const float want = variant.l2_reduction(position, kK) == Reduction::Pairwise ? grouped : lane_order;
        expect_same(variant.kernels.nearest_l2_center(row, centers, kK, dim), {position, want});
    }
}

// x^2 + y^2 with x = 2^-12, y = 1 + 2^-12: rounding y^2 first lands on a tie
// that rounds away x^2; a fused multiply-add keeps it. Same for -1 + y^2.
constexpr float kX = 1.0F / 4096.0F;
constexpr float kY = 1.0F + 1.0F / 4096.0F;

TEST(FmaWitness, ValuesTellRoundedFromFused) {
    const float x2 = kX * kX;
    EXPECT_NE(bits(x2 + kY * kY), bits(std::fma(kY, kY, x2)));
    EXPECT_NE(bits(-1.0F + kY * kY), bits(std::fma(kY, kY, -1.0F)));
}

TEST_P(VectorForm, RoundsEveryProductBeforeAdding) {
    const Variant& variant = GetParam();
    const SliceKernelTable& vec = variant.kernels;
    const std::size_t lanes = variant.lanes;
    const float want_l2 = kX * kX + kY * kY;
    const float want_dot = -1.0F + kY * kY;
    // The witness pair in lane 0 of two blocks, and as a two-element tail.
    for (const std::size_t stride : {lanes, std::size_t{1}}) {
        SCOPED_TRACE("stride " + std::to_string(stride));
        const std::size_t dim = 2 * stride;
        const std::vector<float> zeros(dim, 0.0F);
        const std::vector<float> a = filled(dim, 0.0F, {{0, kX}, {stride, kY}});
        EXPECT_EQ(bits(vec.l2_distance(a, zeros)), bits(want_l2));
        const std::vector<float> row = filled(dim, 0.0F, {{0, -1.0F}, {stride, kY}});
        const std::vector<float> center = filled(dim, 0.0F, {{0, 1.0F}, {stride, kY}});
        for (const std::size_t k : {1, 4, 8}) {
            SCOPED_TRACE("k = " + std::to_string(k));
            std::vector<float> centers;
            std::vector<float> zero_centers(k * dim, 0.0F);
            for (std::size_t c = 0; c < k; ++c) {
                centers.insert(centers.end(), center.begin(), center.end());
            }
            expect_same(vec.nearest_l2_center(a, zero_centers, k, dim), {0, want_l2});
            expect_same(vec.nearest_dot_center(row, centers, k, dim), {0, want_dot});
        }
    }
    std::vector<float> dst(2 * lanes + 1, -1.0F);
    vec.scaled_add_assign(dst, std::vector<float>(dst.size(), kY), kY);
    EXPECT_EQ(bit_patterns(dst), bit_patterns(std::vector<float>(dst.size(), want_dot)));
}

// --- NaN and tie rules, every form -----------------------------------------

TEST(SliceKernelEdges, ArgminIgnoresNanAndTakesTheFirstMinimum) {
    struct Case {
        const char* name;
        std::vector<float> values;
        IndexedValue vector_form;
        IndexedValue portable_form;
    };
    const Case cases[] = {
        {"empty", {}, {0, kInf}, {0, kInf}},
        {"[3, 1, 1]", {3, 1, 1}, {1, 1}, {1, 1}},
        {"NaN before the minimum", {5, kNaN, 2, 7}, {2, 2}, {2, 2}},
        {"NaN between elements of one lane", filled(40, 9, {{0, 5}, {8, kNaN}, {16, kNaN}, {32, 2}}), {32, 2}, {32, 2}},
        {"minimum in the tail", filled(70, 4, {{3, kNaN}, {67, -1}}), {67, -1}, {67, -1}},
        {"repeated minimum", filled(70, 4, {{50, -3}, {20, -3}, {21, kNaN}}), {20, -3}, {20, -3}},
        {"NaN after the minimum in every later block of its lane",
         nan_every(filled(300, 9, {{3, -1}}), 11, 8),
         {3, -1},
         {3, -1}},
        {"-inf", {1, -kInf, -kInf}, {1, -kInf}, {1, -kInf}},
        {"all NaN, short", {kNaN}, {0, kInf}, {0, kInf}},
        {"all NaN, long", filled(70, kNaN), {0, kInf}, {0, kInf}},
        {"[NaN, +inf]", {kNaN, kInf}, {1, kInf}, {0, kInf}},
        {"NaN then +inf, long", filled(40, kInf, {{0, kNaN}, {5, kNaN}, {9, kNaN}, {10, kNaN}}), {1, kInf}, {0, kInf}},
    };
    for (const auto& [form, kernels] : runnable_forms()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(form) + ": " + c.name);
            const Guarded<float> values(c.values);
            expect_same(kernels->argmin(values.view()), kernels == &kPortable ? c.portable_form : c.vector_form);
        }
    }
}

TEST(SliceKernelEdges, NearestCentersTakeTheFirstBestAndNeverNan) {
    // Center c holds values[c] in element 0 and zeros elsewhere. Against a zero
    // row its distance is values[c]^2; against a row of ones its dot product
    // is values[c]. dim 19 has a full block and a tail in both vector widths.
    constexpr std::size_t kDim = 19;
    struct Case {
        const char* name;
        std::vector<float> values;
        IndexedValue l2;
        IndexedValue dot;
    };
    const Case cases[] = {
        {"no centers", {}, {0, kInf}, {0, -kInf}},
        {"all equal", {2, 2, 2, 2, 2, 2}, {0, 4}, {0, 2}},
        {"later ties", {3, 1, 5, 1, 5}, {1, 1}, {2, 5}},
        {"all NaN", filled(9, kNaN), {0, kInf}, {0, -kInf}},
        {"NaN mixed in", {kNaN, kNaN, 3, kNaN, -2, kNaN, kNaN, kNaN, 2}, {4, 4}, {2, 3}},
        {"tie across groups", filled(13, 7, {{4, 1}, {12, 1}}), {4, 1}, {0, 7}},
        {"best is the last single", filled(17, 3, {{16, 0}}), {16, 0}, {0, 3}},
        {"infinities", {kNaN, kInf}, {0, kInf}, {1, kInf}},
        {"minus infinities", {-kInf, -kInf}, {0, kInf}, {0, -kInf}},
    };
    const Guarded<float> zero_row(std::vector<float>(kDim, 0.0F));
    const Guarded<float> one_row(std::vector<float>(kDim, 1.0F));
    for (const auto& [form, kernels] : runnable_forms()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(form) + ": " + c.name);
            const std::size_t k = c.values.size();
            std::vector<float> block(k * kDim, 0.0F);
            for (std::size_t j = 0; j < k; ++j) {
                block[j * kDim] = c.values[j];
            }
            const Guarded<float> centers(block);
            expect_same(kernels->nearest_l2_center(zero_row.view(), centers.view(), k, kDim), c.l2);
            expect_same(kernels->nearest_dot_center(one_row.view(), centers.view(), k, kDim), c.dot);
        }
    }
}

TEST(SliceKernelEdges, SelectLookupMinTakesTheFirstLeastAndNeverNan) {
    // One subquantizer with one codeword: center j scores table[j].
    struct Case {
        const char* name;
        std::vector<float> scores;
        IndexedValue want;
    };
    const Case cases[] = {
        {"no centers", {}, {0, kInf}},
        {"all equal", filled(20, 2), {0, 2}},
        {"NaN lanes, tie in the single centers", filled(20, 3, {{0, kNaN}, {4, kNaN}, {17, 1}, {19, 1}}), {17, 1}},
        {"tie across the lane block boundary", filled(20, 3, {{15, 1}, {16, 1}}), {15, 1}},
        {"tie inside the first lane block", filled(20, 3, {{9, -1}, {7, -1}, {8, kNaN}}), {7, -1}},
        {"all NaN", filled(20, kNaN), {0, kInf}},
        // Past the four-group blocks, where each lane keeps its own least.
        {"tie in different lanes, the later lane first", filled(70, 3, {{5, 1}, {40, 1}}), {5, 1}},
        {"tie in one lane across groups", filled(70, 3, {{3, 1}, {35, 1}, {67, 1}}), {3, 1}},
        {"zeros of both signs tie", filled(70, 3, {{12, -0.0F}, {32, 0.0F}}), {12, -0.0F}},
        {"the least after a lane's first improvement", filled(70, 3, {{1, 2}, {50, 1}, {66, 0.5F}}), {66, 0.5F}},
    };
    const Guarded<std::uint8_t> codes(std::vector<std::uint8_t>{0});
    for (const auto& [form, kernels] : runnable_forms()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(form) + ": " + c.name);
            const Guarded<float> table(c.scores);
            expect_same(kernels->select_lookup_min(codes.view(), table.view(), 1, c.scores.size()), c.want);
        }
    }
}

TEST(SliceKernelEdges, LookupMinFromContinuesFromTheBestSoFar) {
    // The block holds centers 100 .. 169; the best so far is an earlier center.
    struct Case {
        const char* name;
        IndexedValue start;
        std::vector<float> scores;
        IndexedValue want;
    };
    const Case cases[] = {
        {"an equal total keeps the earlier center", {7, 1}, filled(70, 3, {{4, 1}, {60, 1}}), {7, 1}},
        {"a smaller total takes over", {7, 2}, filled(70, 3, {{36, 1}, {4, 1}}), {104, 1}},
        {"nothing below the start", {7, 0}, filled(70, 3), {7, 0}},
        {"from the empty start", {0, kInf}, filled(70, kInf, {{69, 5}}), {169, 5}},
        {"NaN never replaces", {3, 4}, filled(70, kNaN), {3, 4}},
    };
    const Guarded<std::uint8_t> codes(std::vector<std::uint8_t>{0});
    for (const auto& [form, kernels] : runnable_forms()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(form) + ": " + c.name);
            const Guarded<float> table(c.scores);
            expect_same(kernels->lookup_min_from(codes.view(), table.view(), 1, c.scores.size(), 100, c.start), c.want);
        }
    }
}

TEST(SliceKernelEdges, LeastDistanceFromScoresIsTheFirstLeastOfTheDistances) {
    // Full-mantissa values; every seventh score near |c|^2 / 2, so its
    // distance rounds below zero and ties at +0 with the others, in several
    // lanes and blocks; a NaN, an infinity and a -0.0 score. Every form
    // chooses as a walk over the portable distances does, at every tail
    // length.
    tarvinex::test::SplitMix rng(17);
    for (const std::size_t n : kLengths) {
        const std::vector<float> norms = rng.spread(n, -1, 3, false);
        std::vector<float> scores(n);
        for (std::size_t j = 0; j < n; ++j) {
            scores[j] = j % 7 == 5 ? norms[j] / 2.0F + 0x1p-20F : norms[j] * 0.25F;
        }
        scores[n / 2] = n % 2 == 0 ? kNaN : kInf;
        scores[n - 1] = -0.0F;
        for (const bool all_far : {false, true}) {
            std::vector<float> row_scores = scores;
            if (all_far) {
                // Nothing below +inf but NaN: the empty choice.
                std::ranges::fill(row_scores, -kInf);
                row_scores[0] = kNaN;
            }
            IndexedValue want{0, kInf};
            for (std::size_t j = 0; j < n; ++j) {
                const float d = (norms[j] + 0.0F) - (row_scores[j] + row_scores[j]);
                const float distance = d < 0.0F ? 0.0F : d;
                if (distance < want.value) {
                    want = {j, distance};
                }
            }
            for (const auto& [name, kernels] : runnable_forms()) {
                SCOPED_TRACE(std::string(name) + " n=" + std::to_string(n) + (all_far ? ", all far" : ""));
                expect_same(kernels->least_l2_from_scores(row_scores, norms, 0.0F), want);
            }
        }
    }
}

TEST(SliceKernelEdges, GreatestScoreIsTheFirstGreatestWithItsOwnValue) {
    // Ties in other lanes and blocks, zeros of both signs tying (the first
    // one's sign is kept), NaN and -inf scores, and all NaN: every form
    // chooses as a walk from (0, -inf) does, at every tail length.
    tarvinex::test::SplitMix rng(23);
    for (const std::size_t n : kLengths) {
        std::vector<float> spread = rng.spread(n, -2, 4, true);
        std::vector<float> zeros(n, -1.0F);
        for (std::size_t j = n / 3; j < n; j += 5) {
            zeros[j] = j % 2 == 0 ? -0.0F : 0.0F;
        }
        spread[n / 2] = kNaN;
        spread[0] = -kInf;
        std::vector<float> tied = spread;
        const float top = *std::ranges::max_element(spread, [](float a, float b) { return !(a >= b); });
        tied[n - 1] = top;
        for (const std::vector<float>* scores : {&spread, &tied, &zeros}) {
            IndexedValue want{0, -kInf};
            for (std::size_t j = 0; j < n; ++j) {
                if ((*scores)[j] > want.value) {
                    want = {j, (*scores)[j]};
                }
            }
            for (const auto& [name, kernels] : runnable_forms()) {
                SCOPED_TRACE(std::string(name) + " n=" + std::to_string(n));
                expect_same(kernels->greatest_score(*scores), want);
            }
        }
        const std::vector<float> nothing(n, kNaN);
        for (const auto& [name, kernels] : runnable_forms()) {
            expect_same(kernels->greatest_score(nothing), IndexedValue{0, -kInf});
        }
    }
}

TEST(SliceKernelEdges, ZeroScaleChangesOnlyNonFiniteSources) {
    const std::size_t n = 37;
    TestRng rng(3);
    const std::vector<float> src = filled(n, 5.0F, {{3, kInf}, {20, -kInf}, {33, kNaN}});
    const std::vector<float> start = rng.integers(n);
    for (const auto& [form, kernels] : runnable_forms()) {
        SCOPED_TRACE(form);
        Guarded<float> dst(start);
        kernels->scaled_add_assign(dst.span(), src, 0.0F);
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(src[i])) {
                EXPECT_EQ(dst.view()[i], start[i]) << "i = " << i;
            } else {
                EXPECT_TRUE(std::isnan(dst.view()[i])) << "i = " << i;
            }
        }
    }
}

TEST(SliceKernelEdges, AdditionsStopAtDstLength) {
    // src is longer; dst ends at a guard page, so any write past it crashes.
    TestRng rng(4);
    for (const auto& [form, kernels] : runnable_forms()) {
        for (const std::size_t n : kLengths) {
            SCOPED_TRACE(std::string(form) + ", n = " + std::to_string(n));
            const std::vector<float> src = rng.integers(n + 9);
            const std::vector<float> start = rng.integers(n);
            std::vector<float> want = start;
            for (std::size_t i = 0; i < n; ++i) {
                want[i] = start[i] + src[i];
            }
            Guarded<float> dst(start);
            kernels->add_assign(dst.span(), src);
            EXPECT_EQ(bit_patterns(dst.view()), bit_patterns(want));
        }
    }
}

// --- Fixed-width distances -------------------------------------------------

struct FixedWidth {
    const char* name;
    DistanceKernel kernel;
    float (*impl)(const float*, const float*) noexcept;
    std::size_t width;
    std::size_t lanes;  ///< 0 for the SSE routine's own order
    Reduction reduction;
    bool (*available)();
};

bool always() { return true; }

const FixedWidth kFixedWidths[] = {
    {"Simd4", DistanceKernel::Simd4, simd::simd4_distance_impl, 4, 0, Reduction::Pairwise, always},
    {"Simd8", DistanceKernel::Simd8, simd::simd8_distance_impl, 8, 8, Reduction::Pairwise, has_avx2},
    {"Simd16", DistanceKernel::Simd16, simd::simd16_distance_impl, 16, 8, Reduction::Pairwise, has_avx2},
    {"Simd32", DistanceKernel::Simd32, simd::simd32_distance_impl, 32, 8, Reduction::Pairwise, has_avx2},
    {"Simd64", DistanceKernel::Simd64, simd::simd64_distance_impl, 64, 8, Reduction::Pairwise, has_avx2},
    {"Simd16Avx512", DistanceKernel::Simd16Avx512, simd::simd16_distance_avx512_impl, 16, 16, Reduction::LaneOrder,
     has_avx512},
    {"Simd32Avx512", DistanceKernel::Simd32Avx512, simd::simd32_distance_avx512_impl, 32, 16, Reduction::LaneOrder,
     has_avx512},
    {"Simd64Avx512", DistanceKernel::Simd64Avx512, simd::simd64_distance_avx512_impl, 64, 16, Reduction::LaneOrder,
     has_avx512},
};

float documented_fixed_width(const FixedWidth& routine, const std::vector<float>& a, const std::vector<float>& b) {
    auto term = [&](std::size_t i) {
        const float d = a[i] - b[i];
        return d * d;
    };
    if (routine.lanes == 0) {
        return (term(0) + term(2)) + (term(1) + term(3));
    }
    return documented_sum(routine.lanes, routine.width, routine.reduction, term);
}

TEST(FixedWidthDistance, EachRoutineKeepsItsOrder) {
    TestRng rng(5);
    for (const FixedWidth& routine : kFixedWidths) {
        SCOPED_TRACE(routine.name);
        if (!routine.available()) {
            continue;
        }
        const std::size_t n = routine.width;
        std::vector<std::pair<std::vector<float>, std::vector<float>>> inputs;
        for (int trial = 0; trial < 8; ++trial) {
            inputs.emplace_back(rng.wide(n), rng.wide(n));
        }
        // Unit differences sum exactly to the width.
        inputs.emplace_back(filled(n, 2.5F), filled(n, 1.5F));
        if (routine.lanes != 0 && n >= 2 * routine.lanes) {
            inputs.emplace_back(filled(n, 0.0F, {{0, kX}, {routine.lanes, kY}}), filled(n, 0.0F));
        }
        for (const auto& [a, b] : inputs) {
            const Guarded<float> ga(a);
            const Guarded<float> gb(b);
            const float want = documented_fixed_width(routine, a, b);
            EXPECT_EQ(bits(routine.impl(ga.view().data(), gb.view().data())), bits(want));
            EXPECT_EQ(bits(simd::distance(routine.kernel, ga.view(), gb.view())), bits(want));
        }
        EXPECT_EQ(routine.impl(filled(n, 2.5F).data(), filled(n, 1.5F).data()), static_cast<float>(n));
    }
}

TEST(FixedWidthDistance, Simd8ReducesPairwiseNotSequentially) {
    if (!has_avx2()) {
        GTEST_SKIP() << "this processor lacks avx2";
    }
    // Squares 2^24, 1, ..., 1: a sequential sum rounds every 1 away.
    const std::vector<float> a = filled(8, 1.0F, {{0, 4096.0F}});
    const std::vector<float> b(8, 0.0F);
    EXPECT_EQ(simd::simd8_distance_impl(a.data(), b.data()), 16777222.0F);
    EXPECT_EQ(simd::distance(DistanceKernel::Scalar, a, b), 16777216.0F);
}

TEST(FixedWidthDistance, ScalarAndSliceRoutines) {
    const std::vector<float> five{1, 2, 3, 4, 5};
    const std::vector<float> three{0, 0, 1};
    EXPECT_EQ(simd::distance(DistanceKernel::Scalar, five, three), 1.0F + 4.0F + 4.0F);
    EXPECT_EQ(simd::distance(DistanceKernel::Scalar, std::vector<float>{}, three), 0.0F);
    TestRng rng(6);
    for (const std::size_t n : kLengths) {
        const std::vector<float> a = rng.wide(n);
        const std::vector<float> b = rng.wide(n);
        EXPECT_EQ(bits(simd::distance(DistanceKernel::Slice, a, b)), bits(simd::slice_kernels().l2_distance(a, b)))
            << "n = " << n;
    }
}

// --- The minimum-lowering pass of the initial centers -----------------------

namespace lowering {

/// Row i's entry after the pass by the plainest rule, and where the upward
/// "take over unless strictly greater" scan ends.
struct Lowered {
    std::vector<float> entries;
    std::size_t farthest;
};

Lowered lower_by_sequential_sums(std::vector<float> entries, std::span<const std::uint8_t> codes,
                                 std::span<const float> lookup, std::size_t m_count, std::size_t ks) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] < 0.0F) {
            continue;
        }
        float distance = 0.0F;
        for (std::size_t s = 0; s < m_count; ++s) {
            distance = distance + lookup[s * ks + codes[i * m_count + s]];
        }
        if (entries[i] > distance) {
            entries[i] = distance;
        }
    }
    std::size_t best = 0;
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (!(entries[best] > entries[i])) {
            best = i;
        }
    }
    return {std::move(entries), best};
}

}  // namespace lowering

TEST(LowerMinDistances, EveryFormLowersByTheSequentialSumBitForBit) {
    // Lookup entries over many binades with signs, some NaN and some -0.0 (a
    // lone -0.0 must sum to +0.0 from the +0.0 start); entries start at +inf,
    // at the chosen marker -1 or at finite values the distances straddle.
    // Row counts around the lane widths leave tails; codes sit flush against
    // a guard page, so a read past the run's last byte crashes the test.
    constexpr std::size_t kRowCounts[] = {1, 5, 8, 9, 16, 17, 31, 40, 67};
    constexpr std::size_t kSubquantizers[] = {1, 2, 3, 4, 5, 8, 9};
    constexpr std::size_t ks = 7;
    TestRng rng(41);
    for (const std::size_t m_count : kSubquantizers) {
        std::vector<float> lookup = rng.spread(m_count * ks, -4, 12, true);
        lookup[1] = kNaN;
        lookup[2] = -0.0F;
        for (const std::size_t n : kRowCounts) {
            std::vector<std::uint8_t> code_values(n * m_count);
            for (std::uint8_t& c : code_values) {
                c = static_cast<std::uint8_t>(rng.next() % ks);
            }
            std::vector<float> before(n);
            const std::vector<float> finite = rng.spread(n, -2, 10, false);
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t pick = rng.next() % 4;
                before[i] = pick == 0 ? -1.0F : pick == 1 ? finite[i] : kInf;
            }
            const Guarded<std::uint8_t> codes(code_values);
            const lowering::Lowered want = lowering::lower_by_sequential_sums(before, code_values, lookup, m_count, ks);
            for (const SliceKernel family : tarvinex::test::runnable_families()) {
                SCOPED_TRACE("family " + std::to_string(static_cast<int>(family)) + ", M " + std::to_string(m_count) +
                             ", rows " + std::to_string(n));
                std::vector<float> entries = before;
                const simd::FarthestRow got =
                    simd::lower_min_distances_kernel(family)(entries, codes.view(), lookup, ks);
                EXPECT_EQ(bit_patterns(entries), bit_patterns(want.entries));
                EXPECT_FALSE(got.saw_nan);
                EXPECT_EQ(got.index, want.farthest);
                EXPECT_EQ(bits(got.value), bits(want.entries[want.farthest]));
            }
        }
    }
}

TEST(LowerMinDistances, FarthestIsTheLastOfEqualEntriesAndNanIsReported) {
    // One subquantizer, one codeword at distance 5: entries below 5 stay, and
    // the ties sit in different lanes, in the tail and on both sides of them.
    struct Case {
        const char* name;
        std::vector<float> before;
        std::size_t farthest;
        bool saw_nan;
    };
    const auto entries = [](std::size_t n, float fill, std::initializer_list<std::pair<std::size_t, float>> at) {
        std::vector<float> v(n, fill);
        for (const auto& [i, x] : at) {
            v[i] = x;
        }
        return v;
    };
    const Case cases[] = {
        {"all chosen", entries(37, -1.0F, {}), 36, false},
        {"all lowered to one value", entries(37, kInf, {}), 36, false},
        {"ties in two lanes of one block", entries(37, 1.0F, {{3, 2.0F}, {6, 2.0F}}), 6, false},
        {"ties across blocks", entries(37, 1.0F, {{2, 3.0F}, {17, 3.0F}, {18, 2.0F}}), 17, false},
        {"a tie in the tail wins", entries(37, 1.0F, {{9, 4.0F}, {35, 4.0F}}), 35, false},
        {"the first block's tie loses to a later larger", entries(37, 1.0F, {{0, 4.0F}, {1, 4.0F}, {33, 4.5F}}), 33,
         false},
        {"zero beats the chosen marker", entries(37, -1.0F, {{20, 0.0F}, {4, 0.0F}}), 20, false},
        {"-0.0 ties +0.0", entries(37, -1.0F, {{20, 0.0F}, {30, -0.0F}}), 30, false},
        {"a NaN entry is reported", entries(37, 1.0F, {{12, kNaN}}), 0, true},
    };
    const std::vector<float> lookup{5.0F};
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> code_values(c.before.size(), 0);
        for (const SliceKernel family : tarvinex::test::runnable_families()) {
            SCOPED_TRACE(std::string(c.name) + ", family " + std::to_string(static_cast<int>(family)));
            std::vector<float> after = c.before;
            const simd::FarthestRow got = simd::lower_min_distances_kernel(family)(after, code_values, lookup, 1);
            EXPECT_EQ(got.saw_nan, c.saw_nan);
            if (!c.saw_nan) {
                EXPECT_EQ(got.index, c.farthest);
            }
        }
    }
}

}  // namespace
