// How many CPUs this process may run on: the worker count of a call that names
// none, and, through the binding, of the Python layer's own parallel runs, so
// that both layers count by one rule. The affinity set alone overstates it in a
// container whose control group grants fewer CPUs than the machine has.
#pragma once

#include <cstddef>
#include <string>

namespace quillet {

// The CPUs of this process's affinity set, lowered to the CPU quota of its
// control group when one is in force. Never less than 1.
std::size_t available_cpus();

// `affinity` CPUs lowered to the quotas that the control-group files under `root`
// ("" for this machine's) grant: cgroup v2 `cpu.max` of the process's own group
// (named in <root>/proc/self/cgroup), else of the hierarchy's root, and cgroup v1
// `cpu.cfs_quota_us` over `cpu.cfs_period_us`. A quota grants its ratio rounded
// up; a missing, unlimited or unreadable one grants any number. Never less than 1.
std::size_t cpus_under_quota(std::size_t affinity, const std::string& root);

}  // namespace quillet
