#include "MicrosoftDriverKeywords.h"

#include <cctype>

const std::vector<TMicrosoftDriverKeyword>& MicrosoftDriverKeywords() {
    // Microsoft's "DSN and connection string keywords and attributes" for the ODBC driver.
    static const std::vector<TMicrosoftDriverKeyword> keywords = {
        {"Authentication", true}, // SqlPassword, ActiveDirectoryPassword, ...Integrated,
                                  // ...Interactive, ...Msi, ...ServicePrincipal, ...Default
        {"ApplicationIntent", false},
        {"MultiSubnetFailover", false},
        {"FailoverPartner", false},
        {"ConnectRetryCount", false},
        {"ConnectRetryInterval", false},
        {"ServerSPN", false},
        {"TransparentNetworkIPResolution", false},
        {"ColumnEncryption", false},
    };
    return keywords;
}

bool IsMicrosoftOdbcDriver(const std::string& driver) {
    std::string d;
    for (const char c : driver)
        d += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string head = "odbc driver ", tail = " for sql server";
    if (d.size() <= head.size() + tail.size() || d.rfind(head, 0) != 0 ||
        d.compare(d.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string number = d.substr(head.size(), d.size() - head.size() - tail.size());
    for (const char c : number)
        if (c < '0' || c > '9')
            return false;
    return number.size() <= 3 && std::stoi(number) >= 17;
}

std::string NeedsMicrosoftDriverText(const std::string& keyword) {
    return keyword +
           " (Entra ID sign-in) needs Microsoft's ODBC driver, which FreeTDS cannot stand in "
           "for: install it and name it in the connection string "
           "(Driver={ODBC Driver 18 for SQL Server})";
}
