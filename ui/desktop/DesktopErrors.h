// The error kinds of the desktop services: file errors of the version reader and the
// operating-system error of the sound player. Shown by the default error display.
#pragma once

#include "Errors.h"

#include <string>

// A file cannot be found or opened.
class EFilerError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EFilerError"; }
};

// A file was read but its content is not what it must be.
class EReadError : public EFilerError {
public:
    using EFilerError::EFilerError;
    const char* ClassName() const override { return "EReadError"; }
};

// A call to the operating system failed. The message is "System Error.  Code: <code>." and a
// line break followed by the system's text, or "A call to an OS function failed" for code 0.
class EOSError : public Exception {
public:
    explicit EOSError(int code);
    const char* ClassName() const override { return "EOSError"; }
    int ErrorCode = 0;
};
