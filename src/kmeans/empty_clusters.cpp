#include "kmeans/kmeans.hpp"

namespace tarvinex::kmeans {

std::vector<std::size_t> empty_cluster_indices(std::span<const std::size_t> counts) {
    std::vector<std::size_t> empty;
    for (std::size_t j = 0; j < counts.size(); ++j) {
        if (counts[j] == 0) {
            empty.push_back(j);
        }
    }
    return empty;
}

}  // namespace tarvinex::kmeans
