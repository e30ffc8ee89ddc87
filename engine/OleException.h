// Errors reported by the database layer, as the error log shows them ("EOleException").
#pragma once

#include "DbTypes.h"
#include "Errors.h"

#include <cstdint>
#include <string>

class EOleException : public Exception {
public:
    EOleException(const std::string& message, std::int32_t errorCode, std::string source,
                  std::string helpFile, std::int32_t helpContext);
    // From the error object of the database layer: Description becomes the message,
    // NativeError the code.
    explicit EOleException(const TDbError& error);
    const char* ClassName() const override { return "EOleException"; }

    std::int32_t ErrorCode = 0; // the error object's NativeError
    std::string Source;
    std::string HelpFile;
    std::int32_t HelpContext = 0;
};

// Runs a call into the database layer and turns its EDbError into EOleException.
template <class F>
decltype(auto) OleCall(F&& call) {
    try {
        return call();
    } catch (const EDbError& e) {
        throw EOleException(e.Error);
    }
}
