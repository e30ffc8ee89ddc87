#include "OleException.h"

EOleException::EOleException(const std::string& message, std::int32_t errorCode, std::string source,
                             std::string helpFile, std::int32_t helpContext)
    : Exception(message), ErrorCode(errorCode), Source(std::move(source)),
      HelpFile(std::move(helpFile)), HelpContext(helpContext) {}

EOleException::EOleException(const TDbError& error)
    : EOleException(error.Description, error.NativeError, error.Source, error.HelpFile,
                    error.HelpContext) {}
