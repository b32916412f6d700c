#include "kmeans/kmeans.hpp"

#include <array>
#include <string>
#include <utility>

namespace tarvinex::kmeans {
namespace {

/// Underscores count as hyphens. Unlike the TARVINEX_* word rule, hyphens are
/// not removed, so "k-means++" and "kmeans++" are two listed spellings and
/// "kmeans-plus-plus" is none.
std::string normalize_init_text(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (c == '_') {
            c = '-';
        }
    }
    return out;
}

constexpr std::array<std::pair<std::string_view, InitMethod>, 8> kSpellings{{
    {"farthest", InitMethod::FarthestFirst},
    {"farthest-first", InitMethod::FarthestFirst},
    {"deterministic", InitMethod::FarthestFirst},
    {"kmeans++", InitMethod::KMeansPlusPlus},
    {"k-means++", InitMethod::KMeansPlusPlus},
    {"pq-kmeans++", InitMethod::KMeansPlusPlus},
    {"pq-kmeans-plus-plus", InitMethod::KMeansPlusPlus},
    {"random", InitMethod::Random},
}};

}  // namespace

error::Result<InitMethod> parse_init_method(std::string_view text) {
    const std::string normalized = normalize_init_text(text);
    for (const auto& [spelling, method] : kSpellings) {
        if (normalized == spelling) {
            return method;
        }
    }
    std::string message = "unsupported init '";
    message.append(text).append("'; expected one of farthest_first, kmeans++, random");
    return error::fail(std::move(message));
}

}  // namespace tarvinex::kmeans
