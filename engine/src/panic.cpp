// Panics: the engine's failure type and the report written when one starts.
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include <unistd.h>

#include "brenmor/brenmor.hpp"
#include "brenmor/texts.hpp"

namespace brenmor {

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void report_panic(const std::string& message, const std::source_location& where) noexcept {
    try {
        // Threads of this system never carry a name: the interpreter's threads
        // as the engine sees them and the pool's workers alike.
        std::string report = texts::kPanicReportStart;
        report += where.file_name();
        report += ':';
        report += std::to_string(where.line());
        report += ':';
        report += std::to_string(where.column());
        report += ":\n";
        report += message;
        report += '\n';

        // One write for the whole report, so that reports of several threads
        // never interleave (a short write of a pipe is only continued).
        std::string_view rest = report;
        while (!rest.empty()) {
            const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
            if (written < 0) {
                if (errno == EINTR) continue;
                return;
            }
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
    } catch (...) {
        // Out of memory while formatting: the report is lost, the panic is not.
    }
}

void panic(std::string message, std::source_location where) {
    report_panic(message, where);
    throw Panic(std::move(message), where);
}

}  // namespace brenmor
