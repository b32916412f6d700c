/// The rules that pick one candidate of an analysis.

#include <array>
#include <cmath>
#include <optional>
#include <string>

#include "autok/autok.hpp"
#include "ranking/float_order.hpp"

namespace tarvinex::autok {
namespace {

constexpr std::array<std::string_view, 4> kMethodNames = {"bic", "davies_bouldin", "centroid_silhouette", "elbow"};

/// The position of the finite entry that ranks first: the largest, later
/// positions winning ties, or with `smallest` the smallest, earlier winning.
/// Ranks by the IEEE total order, so -0.0 is below +0.0.
std::optional<std::size_t> best_finite(std::span<const double> values, bool smallest) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) {
            continue;
        }
        if (!best) {
            best = i;
            continue;
        }
        const std::uint64_t candidate = ranking::total_order_key(values[i]);
        const std::uint64_t current = ranking::total_order_key(values[*best]);
        if (smallest ? candidate < current : candidate >= current) {
            best = i;
        }
    }
    return best;
}

}  // namespace

error::Result<AutoKMethod> parse_method(std::string_view text) {
    for (std::size_t i = 0; i < kMethodNames.size(); ++i) {
        if (text == kMethodNames[i]) {
            return kAllMethods[i];
        }
    }
    return error::fail("unsupported auto_k_method '" + std::string(text) +
                       "'; expected one of bic, davies_bouldin, centroid_silhouette, elbow");
}

std::string_view method_name(AutoKMethod method) { return kMethodNames[static_cast<std::size_t>(method)]; }

error::Result<AutoKSelection> AutoKAnalysis::select(AutoKMethod method) const {
    if (candidate_ks.empty()) {
        return error::fail("candidate_ks must not be empty");
    }
    const std::vector<double>* scores = nullptr;
    switch (method) {
        case AutoKMethod::Bic:
            scores = &bic;
            break;
        case AutoKMethod::DaviesBouldin:
            scores = &davies_bouldin;
            break;
        case AutoKMethod::CentroidSilhouette:
            scores = &centroid_silhouette;
            break;
        case AutoKMethod::Elbow:
            scores = &elbow;
            break;
    }
    TARVINEX_ASSERT(scores != nullptr && scores->size() == candidate_ks.size() && inertia.size() == candidate_ks.size(),
                    "analysis lists do not match its candidates");
    std::optional<std::size_t> chosen = best_finite(*scores, method == AutoKMethod::DaviesBouldin);
    if (!chosen) {
        chosen = best_finite(inertia, true);
    }
    const std::size_t index = chosen.value_or(0);
    return AutoKSelection{index, candidate_ks[index], method};
}

}  // namespace tarvinex::autok
