// The keywords of Microsoft's ODBC Driver 17/18 for SQL Server that a connection string may
// pass through unchanged when it names that driver: Entra ID sign-in (Authentication) and the
// connection options the driver documents. One list, so that the rules every value obeys
// (TOdbcStringBuilder) apply to each of them the same way.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct TMicrosoftDriverKeyword {
    const char* Name;          // as Microsoft's driver spells it
    bool NeedsMicrosoftDriver; // FreeTDS cannot do it: a clear error rather than a quiet drop
};

// Every keyword passed through, in the order written out.
const std::vector<TMicrosoftDriverKeyword>& MicrosoftDriverKeywords();

// Whether the driver named is Microsoft's ("ODBC Driver 17 for SQL Server", "ODBC Driver 18
// for SQL Server", and later numbers).
bool IsMicrosoftOdbcDriver(const std::string& driver);

// The error text for a keyword FreeTDS cannot honour.
std::string NeedsMicrosoftDriverText(const std::string& keyword);
