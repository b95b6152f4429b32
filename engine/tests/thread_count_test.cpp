// The pool's thread count: the two environment variables, the default from
// the CPU affinity, and the control-group quota read from fake file trees.
// None of these start a thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <sched.h>
#include <unistd.h>

#include "thread_count.hpp"
#include "cgroup.hpp"

namespace brenmor::testing {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Environment variables

struct ParseCase {
    std::string text;
    std::optional<std::size_t> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << '"' << c.text.substr(0, 40) << (c.text.size() > 40 ? "...\"" : "\"") << " ("
        << c.text.size() << " chars)";
}

class ParseThreadCount : public ::testing::TestWithParam<ParseCase> {};

// The largest count a size_t holds, and one more, in decimal, for both word
// sizes (32-bit ARM has a 32-bit size_t): a number too wide for one word size
// must mean the same as on the other.
constexpr const char* kLargest64 = "18446744073709551615";  // 20 digits
constexpr const char* kOneTooMany64 = "18446744073709551616";
constexpr const char* kLargest32 = "4294967295";
constexpr const char* kOneTooMany32 = "4294967296";

// Long numbers: 30 and 400 digits, and leading zeros in front of small ones.
const std::string kThirtyDigits = "1" + std::string(29, '0');
const std::string kFourHundredNines(400, '9');
std::string zero_padded(const std::string& digits, std::size_t length) {
    return std::string(length - digits.size(), '0').append(digits);
}
// Appends rather than prepends: GCC 12 warns falsely (-Wrestrict) on
// "+" + std::string.
std::string with_plus(const std::string& digits) { return std::string("+").append(digits); }

TEST_P(ParseThreadCount, AcceptsDigitsWithAnOptionalPlus) {
    const ParseCase c = GetParam();
    EXPECT_EQ(pool::parse_thread_count(c.text), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseThreadCount,
    ::testing::Values(ParseCase{"4", 4}, ParseCase{"+4", 4}, ParseCase{"0", 0},
                      ParseCase{"+0", 0}, ParseCase{"007", 7}, ParseCase{"255", 255},
                      ParseCase{"+255", 255}, ParseCase{"254", 254},
                      // Above 255: the cap, whatever the length.
                      ParseCase{"256", 255}, ParseCase{"1000", 255}, ParseCase{"2569", 255},
                      ParseCase{kLargest32, 255}, ParseCase{kOneTooMany32, 255},
                      ParseCase{kLargest64, 255}, ParseCase{kOneTooMany64, 255},
                      ParseCase{with_plus(kOneTooMany64), 255},
                      ParseCase{"99999999999999999999999", 255},
                      ParseCase{kThirtyDigits, 255}, ParseCase{with_plus(kThirtyDigits), 255},
                      ParseCase{kFourHundredNines, 255}, ParseCase{with_plus(kFourHundredNines), 255},
                      // Leading zeros count for nothing, however many.
                      ParseCase{zero_padded("7", 30), 7}, ParseCase{with_plus(zero_padded("7", 400)), 7},
                      ParseCase{zero_padded("255", 400), 255},
                      ParseCase{zero_padded("256", 400), 255},
                      ParseCase{zero_padded(kOneTooMany64, 400), 255},
                      ParseCase{std::string(400, '0'), 0}, ParseCase{with_plus(std::string(400, '0')), 0},
                      // Not a number, also after a long run of digits.
                      ParseCase{kFourHundredNines + "x", std::nullopt},
                      ParseCase{kFourHundredNines + " ", std::nullopt},
                      ParseCase{with_plus(kThirtyDigits).append("-"), std::nullopt},
                      ParseCase{"", std::nullopt}, ParseCase{"+", std::nullopt},
                      ParseCase{"++4", std::nullopt}, ParseCase{"-1", std::nullopt},
                      ParseCase{"-0", std::nullopt}, ParseCase{" 4", std::nullopt},
                      ParseCase{"4 ", std::nullopt}, ParseCase{"4\n", std::nullopt},
                      ParseCase{"4a", std::nullopt}, ParseCase{"1e3", std::nullopt},
                      ParseCase{"0x10", std::nullopt}, ParseCase{"four", std::nullopt},
                      ParseCase{"\xd9\xa3", std::nullopt}));  // ARABIC-INDIC DIGIT THREE

struct ChooseCase {
    const char* num_threads;
    const char* num_cpus;
    std::size_t default_count;
    std::size_t expected;
};

void PrintTo(const ChooseCase& c, std::ostream* os) {
    *os << (c.num_threads ? c.num_threads : "unset") << "," << (c.num_cpus ? c.num_cpus : "unset")
        << "," << c.default_count;
}

class ChooseThreadCount : public ::testing::TestWithParam<ChooseCase> {};

TEST_P(ChooseThreadCount, FollowsTheTwoVariablesInOrder) {
    const ChooseCase c = GetParam();
    EXPECT_EQ(pool::choose_thread_count(c.num_threads, c.num_cpus, c.default_count), c.expected)
        << (c.num_threads ? c.num_threads : "(unset)") << " / "
        << (c.num_cpus ? c.num_cpus : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ChooseThreadCount,
    ::testing::Values(ChooseCase{nullptr, nullptr, 6, 6},  // neither set: the default
                      ChooseCase{"3", nullptr, 6, 3},      // the first wins
                      ChooseCase{"3", "5", 6, 3},          //
                      ChooseCase{"+2", "5", 6, 2},         //
                      ChooseCase{"0", "5", 6, 6},     // 0: the default, the second is not read
                      ChooseCase{"+0", "5", 6, 6},    //
                      ChooseCase{"abc", "5", 6, 5},   // not a number: falls through
                      ChooseCase{"", "5", 6, 5},      //
                      ChooseCase{"-3", "5", 6, 5},    //
                      ChooseCase{nullptr, "5", 6, 5},  // unset: the second
                      ChooseCase{nullptr, "0", 6, 6},  // the second's 0: the default
                      ChooseCase{nullptr, "x", 6, 6},  //
                      ChooseCase{"x", "y", 6, 6},      //
                      ChooseCase{"1000", nullptr, 6, 255},  // capped at 255
                      ChooseCase{nullptr, "256", 6, 255},   //
                      ChooseCase{"255", nullptr, 6, 255},   //
                      ChooseCase{nullptr, nullptr, 300, 255},
                      // A number of any length is a number: capped, never falling through.
                      ChooseCase{kOneTooMany64, "7", 6, 255},
                      ChooseCase{kOneTooMany32, "7", 6, 255},
                      ChooseCase{nullptr, kFourHundredNines.c_str(), 6, 255},
                      ChooseCase{"x", kThirtyDigits.c_str(), 6, 255}));

TEST(DefaultThreadCount, IsWithinTheAffinityOfTheProcess) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const std::size_t count = pool::default_thread_count();
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, static_cast<std::size_t>(CPU_COUNT(&set)));
}

// ---------------------------------------------------------------------------
// Control group CPU quota, on fake file trees

class CgroupLimit : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("brenmor-cgroup-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void write(const std::string& relative, const std::string& text) {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::optional<std::size_t> limit(const std::string& cgroup, const std::string& mountinfo = "") {
        return pool::detail::cgroup_cpu_limit(cgroup, mountinfo, root_.string());
    }

    fs::path root_;
};

TEST_F(CgroupLimit, V2QuotaIsRoundedUp) {
    write("sys/fs/cgroup/app/cgroup.controllers", "cpu memory\n");
    write("sys/fs/cgroup/app/cpu.max", "150000 100000\n");
    EXPECT_EQ(limit("0::/app\n"), 2u);
    write("sys/fs/cgroup/app/cpu.max", "200000 100000\n");
    EXPECT_EQ(limit("0::/app\n"), 2u);
    write("sys/fs/cgroup/app/cpu.max", "20000 100000\n");
    EXPECT_EQ(limit("0::/app\n"), 1u);
}

TEST_F(CgroupLimit, V2WithoutQuota) {
    write("sys/fs/cgroup/app/cgroup.controllers", "cpu\n");
    write("sys/fs/cgroup/app/cpu.max", "max 100000\n");
    EXPECT_EQ(limit("0::/app\n"), std::nullopt);
    EXPECT_EQ(limit("0::/elsewhere\n"), std::nullopt);  // not a cgroup2 directory
}

TEST_F(CgroupLimit, V2TakesTheSmallestQuotaOfTheAncestors) {
    write("sys/fs/cgroup/a/cgroup.controllers", "cpu\n");
    write("sys/fs/cgroup/a/cpu.max", "300000 100000\n");
    write("sys/fs/cgroup/a/b/cgroup.controllers", "cpu\n");
    write("sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
    write("sys/fs/cgroup/a/b/c/cgroup.controllers", "cpu\n");
    write("sys/fs/cgroup/a/b/c/cpu.max", "500000 100000\n");
    EXPECT_EQ(limit("0::/a/b/c\n"), 3u);
    EXPECT_EQ(limit("0::/a/b\n"), 3u);
}

TEST_F(CgroupLimit, V1CpuController) {
    const std::string mountinfo =
        "24 30 0:22 / /sys/fs/cgroup/memory rw,nosuid - cgroup cgroup rw,memory\n"
        "25 30 0:23 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:9 - cgroup cgroup "
        "rw,cpu,cpuacct\n";
    write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n");
    write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(limit("5:memory:/job\n4:cpu,cpuacct:/job\n0::/\n", mountinfo), 3u);
    write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n");
    EXPECT_EQ(limit("4:cpu,cpuacct:/job\n", mountinfo), std::nullopt);
    // A v1 cpu hierarchy takes precedence over the unified one.
    write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "100000\n");
    write("sys/fs/cgroup/job/cgroup.controllers", "cpu\n");
    write("sys/fs/cgroup/job/cpu.max", "400000 100000\n");
    EXPECT_EQ(limit("0::/job\n4:cpu,cpuacct:/job\n", mountinfo), 1u);
}

TEST_F(CgroupLimit, V1MountOfTheGroupItself) {
    // Inside a container the hierarchy is mounted at the group's own directory.
    const std::string mountinfo =
        "25 30 0:23 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";
    write("sys/fs/cgroup/cpu/cpu.cfs_quota_us", "50000\n");
    write("sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(limit("3:cpu:/docker/abc\n", mountinfo), 1u);
}

TEST_F(CgroupLimit, NothingToRead) {
    EXPECT_EQ(limit(""), std::nullopt);
    EXPECT_EQ(limit("0::/\n"), std::nullopt);
    EXPECT_EQ(limit("garbage\n"), std::nullopt);
    EXPECT_EQ(limit("4:cpu:/x\n", ""), std::nullopt);
}

}  // namespace
}  // namespace brenmor::testing
