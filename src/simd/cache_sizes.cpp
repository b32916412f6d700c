#include "simd/cache_sizes.hpp"

#include <unistd.h>

#include <fstream>
#include <optional>

namespace tarvinex::simd {
namespace {

constexpr std::size_t kAssumedL2Bytes = std::size_t{1} << 20;
constexpr int kMostCacheIndices = 16;

std::optional<std::string> first_word(const std::string& path) {
    std::ifstream file(path);
    std::string word;
    if (file >> word) {
        return word;
    }
    return std::nullopt;
}

/// "2048K", "2M" or a plain byte count.
std::optional<std::size_t> parse_size(const std::string& text) {
    std::size_t value = 0;
    std::size_t used = 0;
    for (; used < text.size() && text[used] >= '0' && text[used] <= '9'; ++used) {
        value = value * 10 + static_cast<std::size_t>(text[used] - '0');
    }
    if (used == 0 || value == 0) {
        return std::nullopt;
    }
    const std::string unit = text.substr(used);
    if (unit.empty()) return value;
    if (unit == "K") return value << 10;
    if (unit == "M") return value << 20;
    return std::nullopt;
}

}  // namespace

CacheSizes read_cache_sizes(const std::string& cache_dir) {
    for (int index = 0; index < kMostCacheIndices; ++index) {
        const std::string dir = cache_dir + "/index" + std::to_string(index);
        const std::optional<std::string> level = first_word(dir + "/level");
        const std::optional<std::string> type = first_word(dir + "/type");
        if (!level || level != "2" || !type || (type != "Unified" && type != "Data")) {
            continue;
        }
        const std::optional<std::string> size = first_word(dir + "/size");
        if (const std::optional<std::size_t> bytes = size ? parse_size(*size) : std::nullopt) {
            return {*bytes, "sysfs index" + std::to_string(index)};
        }
    }
    const long reported = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (reported > 0) {
        return {static_cast<std::size_t>(reported), "sysconf"};
    }
    return {kAssumedL2Bytes, "assumed"};
}

const CacheSizes& detected_cache_sizes() {
    static const CacheSizes sizes = read_cache_sizes();
    return sizes;
}

}  // namespace tarvinex::simd
