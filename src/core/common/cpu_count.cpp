// The CPU count from sched_getaffinity and the control-group files, which are
// read afresh on every call: a container's quota can change while it runs.
#include "common/cpu_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

namespace quillet {

namespace {

std::size_t affinity_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) {
        return std::max(1u, std::thread::hardware_concurrency());
    }
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

// The path of this process's control group in the unified (v2) hierarchy, or "".
std::string cgroup_v2_path(const std::string& root) {
    std::ifstream in(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    }
    return "";
}

// CPUs granted by a quota/period pair, rounded up; 0 when there is no quota.
std::size_t quota_cpus(double quota, double period) {
    if (!(quota > 0) || !(period > 0)) return 0;
    return static_cast<std::size_t>(std::max(1.0, std::ceil(quota / period)));
}

// `cpu.max` holds "max PERIOD" without a quota, else "QUOTA PERIOD".
std::size_t cgroup_v2_quota(const std::string& root) {
    const std::string hierarchy = root + "/sys/fs/cgroup";
    for (const std::string& group : {hierarchy + cgroup_v2_path(root), hierarchy}) {
        std::ifstream in(group + "/cpu.max");
        std::string first;
        double period = 0;
        if (!(in >> first >> period)) continue;
        double quota = 0;  // stays 0, no quota, for "max" and for anything unreadable
        std::istringstream(first) >> quota;
        return quota_cpus(quota, period);
    }
    return 0;
}

// `cpu.cfs_quota_us` holds -1 without a quota.
std::size_t cgroup_v1_quota(const std::string& root) {
    std::ifstream quota_in(root + "/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
    std::ifstream period_in(root + "/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    double quota = 0, period = 0;
    if (!(quota_in >> quota) || !(period_in >> period)) return 0;
    return quota_cpus(quota, period);
}

}  // namespace

std::size_t cpus_under_quota(std::size_t affinity, const std::string& root) {
    std::size_t cpus = affinity;
    for (const std::size_t quota : {cgroup_v2_quota(root), cgroup_v1_quota(root)}) {
        if (quota != 0) cpus = std::min(cpus, quota);
    }
    return std::max<std::size_t>(cpus, 1);
}

std::size_t available_cpus() { return cpus_under_quota(affinity_cpus(), ""); }

}  // namespace quillet
