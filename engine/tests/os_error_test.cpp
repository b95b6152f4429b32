// The Debug form of an OS error in the pool's start failure: code, kind, and
// the C library's own message for the code (glibc and musl word them
// differently).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "os_error.hpp"

namespace brenmor::testing {
namespace {

struct OsErrorCase {
    int code;
    const char* kind;
};

void PrintTo(const OsErrorCase& c, std::ostream* os) { *os << "errno " << c.code; }

class OsErrorDebug : public ::testing::TestWithParam<OsErrorCase> {};

TEST_P(OsErrorDebug, RendersCodeKindAndMessage) {
    const OsErrorCase c = GetParam();
    const std::string expected = "Os { code: " + std::to_string(c.code) + ", kind: " + c.kind +
                                 ", message: \"" + std::strerror(c.code) + "\" }";
    EXPECT_EQ(pool::detail::os_error_debug(c.code), expected);
}

INSTANTIATE_TEST_SUITE_P(Errnos, OsErrorDebug,
                         ::testing::Values(OsErrorCase{EAGAIN, "WouldBlock"},
                                           OsErrorCase{ENOMEM, "OutOfMemory"},
                                           OsErrorCase{EPERM, "PermissionDenied"},
                                           OsErrorCase{EACCES, "PermissionDenied"},
                                           OsErrorCase{EINVAL, "InvalidInput"},
                                           OsErrorCase{ENOSPC, "Uncategorized"}));

// The codes a thread creation fails with on Linux, whatever the C library.
TEST(OsErrorDebug, CodesAreLinuxNumbers) {
    EXPECT_EQ(pool::detail::os_error_debug(EAGAIN).rfind("Os { code: 11, kind: WouldBlock", 0), 0u);
    EXPECT_EQ(pool::detail::os_error_debug(ENOMEM).rfind("Os { code: 12, kind: OutOfMemory", 0), 0u);
}

}  // namespace
}  // namespace brenmor::testing
