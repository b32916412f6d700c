/// Affinity mask and cgroup quota reading behind `available_cpu_count`.

#include "parallel/cpu_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

namespace tarvinex::parallel {
namespace {

constexpr std::string_view kCgroupRoot = "/sys/fs/cgroup";

std::string_view trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

/// The whole text as an unsigned decimal, nothing else around it.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

/// ceil(quota / period); a zero quota or period is not a valid setting.
std::optional<std::size_t> whole_cpus(std::uint64_t quota, std::uint64_t period) {
    if (quota == 0 || period == 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(quota / period + (quota % period != 0 ? 1 : 0));
}

std::optional<std::string> read_whole_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    // /proc and /sys files report size 0, so read until the end instead of by size.
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::size_t> tighter(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (a && b) {
        return std::min(*a, *b);
    }
    return a ? a : b;
}

/// A limit set on any ancestor also binds this cgroup, so walk up to the root.
std::optional<std::size_t> cgroup_v2_limit(const FileReader& read_file) {
    std::string path;
    if (const auto proc = read_file("/proc/self/cgroup")) {
        path = cgroup_v2_path_from_proc_self_cgroup(*proc).value_or("");
    }
    // A path outside our cgroup namespace ("/../x") does not exist in our
    // view of /sys/fs/cgroup; the namespace root is all we can read then.
    if (!path.starts_with('/') || path.find("/..") != std::string::npos) {
        path.clear();
    }
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    std::optional<std::size_t> limit;
    while (true) {
        if (const auto text = read_file(std::string(kCgroupRoot) + path + "/cpu.max")) {
            limit = tighter(limit, parse_cgroup_v2_cpu_max(*text));
        }
        if (path.empty()) {
            return limit;
        }
        path.resize(path.rfind('/'));
    }
}

std::optional<std::size_t> cgroup_v1_limit(const FileReader& read_file) {
    for (const std::string_view dir : {"/cpu", "/cpu,cpuacct"}) {
        const std::string base = std::string(kCgroupRoot) + std::string(dir);
        const auto quota = read_file(base + "/cpu.cfs_quota_us");
        const auto period = read_file(base + "/cpu.cfs_period_us");
        if (quota && period) {
            return parse_cgroup_v1_quota(*quota, *period);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> parse_cgroup_v2_cpu_max(std::string_view text) {
    text = trim(text);
    const auto space = text.find(' ');
    const std::string_view quota = text.substr(0, space);
    const std::string_view period = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    if (quota == "max") {
        return std::nullopt;
    }
    const auto quota_value = parse_unsigned(quota);
    const auto period_value = parse_unsigned(period);
    if (!quota_value || !period_value) {
        return std::nullopt;
    }
    return whole_cpus(*quota_value, *period_value);
}

std::optional<std::size_t> parse_cgroup_v1_quota(std::string_view quota_text, std::string_view period_text) {
    // "-1" (no limit) fails the unsigned parse like any other malformed text.
    const auto quota = parse_unsigned(trim(quota_text));
    const auto period = parse_unsigned(trim(period_text));
    if (!quota || !period) {
        return std::nullopt;
    }
    return whole_cpus(*quota, *period);
}

std::optional<std::string> cgroup_v2_path_from_proc_self_cgroup(std::string_view text) {
    constexpr std::string_view kUnifiedPrefix = "0::";
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        if (line.starts_with(kUnifiedPrefix)) {
            return std::string(trim(line.substr(kUnifiedPrefix.size())));
        }
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit(const FileReader& read_file) {
    if (const auto limit = cgroup_v2_limit(read_file)) {
        return limit;
    }
    return cgroup_v1_limit(read_file);
}

std::size_t affinity_cpu_count() {
    // The mask may be wider than cpu_set_t on very large machines; the kernel
    // answers EINVAL until the buffer holds all its CPUs.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        const std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cpus), [](cpu_set_t* s) { CPU_FREE(s); });
        if (!set) {
            break;
        }
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set.get());
        if (sched_getaffinity(0, bytes, set.get()) == 0) {
            return std::max(1, CPU_COUNT_S(bytes, set.get()));
        }
        if (errno != EINVAL) {
            break;
        }
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t available_cpu_count() {
    const std::size_t cpus = affinity_cpu_count();
    const std::size_t quota = cgroup_cpu_limit(read_whole_file).value_or(cpus);
    return std::max<std::size_t>(1, std::min(cpus, quota));
}

}  // namespace tarvinex::parallel
