// Panic reports on standard error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pool.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

// Collects what is written to file descriptor 2 while it lives.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        char name[] = "/tmp/brenmor-stderr-XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        ::close(fd);
        const int append = ::open(name, O_WRONLY | O_APPEND);
        saved_ = ::dup(2);
        ::dup2(append, 2);
        ::close(append);
    }
    ~StderrCapture() {
        restore();
        std::remove(path_.c_str());
    }
    std::string text() {
        restore();
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

const std::regex kIndexReport(
    "\nthread '<unnamed>' panicked at engine/src/[a-z_]+\\.cpp:[0-9]+:[0-9]+:\n"
    "ndarray: index out of bounds\n");

TEST(PanicReport, WrittenWhenTheEngineFails) {
    Data data = dispersive_stack(2, 5);
    data.d.clear();
    StderrCapture capture;
    try {
        get_r_power_vec(data);
        ADD_FAILURE() << "no failure";
    } catch (const Panic& e) {
        EXPECT_STREQ(e.where().file_name(), "engine/src/transfers.cpp");
        EXPECT_GT(e.where().line(), 0u);
        const std::string report = capture.text();
        EXPECT_TRUE(std::regex_match(report, kIndexReport)) << report;
        EXPECT_EQ(report, "\nthread '<unnamed>' panicked at engine/src/transfers.cpp:" +
                              std::to_string(e.where().line()) + ":" +
                              std::to_string(e.where().column()) +
                              ":\nndarray: index out of bounds\n");
    }
}

TEST(PanicReport, CarriesTheCallersLocation) {
    StderrCapture capture;
    const unsigned line = __LINE__ + 2;
    try {
        panic("a message\nof two lines");
    } catch (const Panic& e) {
        EXPECT_EQ(e.message(), "a message\nof two lines");
        EXPECT_STREQ(e.where().file_name(), "engine/tests/panic_test.cpp");
        EXPECT_EQ(e.where().line(), line);
        const std::string prefix = "\nthread '<unnamed>' panicked at engine/tests/panic_test.cpp:" +
                                   std::to_string(line) + ":";
        const std::string report = capture.text();
        EXPECT_EQ(report.substr(0, prefix.size()), prefix) << report;
        EXPECT_TRUE(report.ends_with(":\na message\nof two lines\n")) << report;
        EXPECT_EQ(report, prefix + std::to_string(e.where().column()) +
                              ":\na message\nof two lines\n");
    }
}

TEST(PanicReport, WorkersReportAndTheCallerGetsTheSameMessage) {
    Data data = dispersive_stack(2, 500);
    data.n = Array2<Complex>::row_major(std::vector<Complex>(4 * 499, Complex{1.5, 0.0}), 4, 499);
    StderrCapture capture;
    try {
        get_r_power_vec(data);
        ADD_FAILURE() << "no failure";
    } catch (const Panic& e) {
        EXPECT_EQ(e.message(), "ndarray: index out of bounds");
    }
    // Only the last wavelength fails, so exactly one work item reports.
    const std::string report = capture.text();
    EXPECT_TRUE(std::regex_match(report, kIndexReport)) << report;
}

TEST(PanicReport, ReportsOfSeveralThreadsDoNotInterleave) {
    const std::string message(600, 'x');
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int k = 0; k < 6; ++k) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                report_panic(message, std::source_location::current());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::string text = capture.text();
    const std::regex one(
        "\nthread '<unnamed>' panicked at engine/tests/panic_test\\.cpp:[0-9]+:[0-9]+:\nx{600}\n");
    std::size_t count = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), one); it != std::sregex_iterator();
         ++it) {
        ++count;
    }
    EXPECT_EQ(count, 1200u);
    // Nothing but whole reports, all of one length.
    std::smatch first;
    ASSERT_TRUE(std::regex_search(text, first, one));
    EXPECT_EQ(first.position(0), 0);
    EXPECT_EQ(text.size(), 1200u * static_cast<std::size_t>(first.length(0)));
}

}  // namespace
}  // namespace brenmor::testing
