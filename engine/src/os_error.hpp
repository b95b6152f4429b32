// The text of an OS error code, as the pool's start failure reports it.
#pragma once

#include <string>

namespace brenmor::pool::detail {

// Rust's io::Error debug form of an OS error code, with the C library's own
// message:
//   Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }
std::string os_error_debug(int code);

}  // namespace brenmor::pool::detail
