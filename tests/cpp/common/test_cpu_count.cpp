#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "common/cpu_count.hpp"

using namespace quillet;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;  // (path below the root, contents)

// A fresh directory holding `files`, standing in for the file system's root.
std::string root_with(const Files& files, int case_number) {
    const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                       ("quillet-cpu-count-" + std::to_string(getpid()) + "-" +
                                        std::to_string(case_number));
    std::filesystem::remove_all(root);
    for (const auto& [path, contents] : files) {
        const std::filesystem::path file = root / path;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << contents;
    }
    std::filesystem::create_directories(root);
    return root.string();
}

const std::string kOwnGroup = "proc/self/cgroup";
const std::string kJobMax = "sys/fs/cgroup/job/cpu.max";
const std::string kRootMax = "sys/fs/cgroup/cpu.max";
const std::string kV1Quota = "sys/fs/cgroup/cpu/cpu.cfs_quota_us";
const std::string kV1Period = "sys/fs/cgroup/cpu/cpu.cfs_period_us";

}  // namespace

TEST(cpu_quotas_of_both_cgroup_versions_lower_the_affinity_count) {
    struct Case {
        const char* name;
        Files files;
        std::size_t affinity, expected;
    };
    const Case cases[] = {
        {"no control-group files", {}, 8, 8},
        {"v2 without a quota", {{kOwnGroup, "0::/job\n"}, {kJobMax, "max 100000\n"}}, 8, 8},
        {"v2 quota rounded up", {{kOwnGroup, "0::/job\n"}, {kJobMax, "150000 100000\n"}}, 8, 2},
        {"v2 quota below one CPU", {{kOwnGroup, "0::/job\n"}, {kJobMax, "20000 100000\n"}}, 8, 1},
        {"v2 own group before the root",
         {{kOwnGroup, "0::/job\n"}, {kJobMax, "300000 100000\n"}, {kRootMax, "100000 100000\n"}}, 8, 3},
        {"v2 root when the own group has no file", {{kOwnGroup, "0::/gone\n"}, {kRootMax, "200000 100000\n"}}, 8, 2},
        {"v2 group from the unified line only",
         {{kOwnGroup, "5:cpu,cpuacct:/other\n0::/job\n"}, {kJobMax, "400000 100000\n"}}, 8, 4},
        {"v2 unreadable quota", {{kOwnGroup, "0::/job\n"}, {kJobMax, "lots 100000\n"}}, 8, 8},
        {"v1 quota", {{kV1Quota, "250000\n"}, {kV1Period, "100000\n"}}, 8, 3},
        {"v1 without a quota", {{kV1Quota, "-1\n"}, {kV1Period, "100000\n"}}, 8, 8},
        {"v1 quota without a period", {{kV1Quota, "250000\n"}}, 8, 8},
        {"the smaller of both versions",
         {{kOwnGroup, "0::/job\n"}, {kJobMax, "300000 100000\n"}, {kV1Quota, "200000\n"}, {kV1Period, "100000\n"}}, 8, 2},
        {"a quota above the affinity set", {{kOwnGroup, "0::/job\n"}, {kJobMax, "400000 100000\n"}}, 2, 2},
        {"never below one", {}, 0, 1},
    };
    int number = 0;
    for (const Case& c : cases) {
        const std::string root = root_with(c.files, number++);
        const std::size_t got = cpus_under_quota(c.affinity, root);
        if (got != c.expected) {
            check::fail(__FILE__, __LINE__, std::string(c.name) + ": " + std::to_string(got) + " CPUs, expected " +
                                                std::to_string(c.expected));
        }
        std::filesystem::remove_all(root);
    }
}

TEST(available_cpus_is_the_affinity_count_under_this_machines_quota) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CHECK(sched_getaffinity(0, sizeof(set), &set) == 0);
    const auto affinity = static_cast<std::size_t>(CPU_COUNT(&set));
    CHECK_EQ(available_cpus(), cpus_under_quota(affinity, ""));
}
