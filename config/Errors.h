// The program's own error kind. Configuration and engine code throw it; the error log and the
// default error display show ClassName() and what(). Database errors derive from it
// (EOleException, in the engine).
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    virtual const char* ClassName() const { return "Exception"; }
};
