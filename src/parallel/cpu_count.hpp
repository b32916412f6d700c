#pragma once
/// How many CPUs this process may really use: the CPUs of its affinity mask,
/// capped by its cgroup CPU quota. The pool and the BLAS thread cap are sized
/// from it. oneTBB reads the mask but not the quota, so a container limited to
/// two CPUs on a 64-core host would otherwise start 64 busy workers.
///
/// The parsers are pure functions on file texts, and the cgroup lookup takes
/// its file reader as an argument, so both are tested without a real cgroup.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarvinex::parallel {

/// CPUs in the affinity mask, capped by the cgroup CPU quota; at least 1.
[[nodiscard]] std::size_t available_cpu_count();

/// CPUs in the calling thread's affinity mask; at least 1.
[[nodiscard]] std::size_t affinity_cpu_count();

/// cgroup v2 `cpu.max` ("<quota> <period>", or "max <period>"): the quota
/// rounded up to whole CPUs, or nothing for "max" and for a malformed text.
[[nodiscard]] std::optional<std::size_t> parse_cgroup_v2_cpu_max(std::string_view text);

/// cgroup v1 `cpu.cfs_quota_us` and `cpu.cfs_period_us`: the quota rounded up
/// to whole CPUs, or nothing for the quota -1 (no limit) and malformed texts.
[[nodiscard]] std::optional<std::size_t> parse_cgroup_v1_quota(std::string_view quota_text,
                                                               std::string_view period_text);

/// The unified-hierarchy path ("/user.slice/x") from the "0::<path>" line of
/// /proc/self/cgroup, or nothing when there is no such line.
[[nodiscard]] std::optional<std::string> cgroup_v2_path_from_proc_self_cgroup(std::string_view text);

/// Reads a whole file, or nothing when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

/// The tightest CPU quota that applies to this process: cgroup v2 `cpu.max` of
/// its own cgroup and every ancestor up to /sys/fs/cgroup, or, when v2 sets
/// none (v1 or a hybrid layout), the v1 quota under /sys/fs/cgroup/cpu or
/// /sys/fs/cgroup/cpu,cpuacct. Nothing when no quota applies.
[[nodiscard]] std::optional<std::size_t> cgroup_cpu_limit(const FileReader& read_file);

}  // namespace tarvinex::parallel
