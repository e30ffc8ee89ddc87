#include "DesktopErrors.h"

#include <cstring>

namespace {

std::string OSErrorMessage(int code) {
    if (code == 0)
        return "A call to an OS function failed";
    return "System Error.  Code: " + std::to_string(code) + ".\n" + std::strerror(code);
}

} // namespace

EOSError::EOSError(int code) : Exception(OSErrorMessage(code)), ErrorCode(code) {}
