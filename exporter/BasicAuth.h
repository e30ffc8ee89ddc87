// HTTP basic authentication for the metrics page: one user name and a password read from a
// file, compared in constant time so that the answer's timing tells nothing about how much of
// a guess was right.
#pragma once

#include <string>
#include <string_view>

class TBasicAuth {
public:
    TBasicAuth(std::string user, std::string password);

    // The password file: its first line, without the line break; throws Exception when the
    // file cannot be read or the password is empty.
    static std::string ReadPasswordFile(const std::string& path);

    // Whether an Authorization header value carries this user and password.
    bool Accepts(std::string_view authorization) const;

private:
    std::string Expected; // "user:password"
};

// Compares two byte strings in time that depends on their lengths only.
bool ConstantTimeEqual(std::string_view a, std::string_view b);
