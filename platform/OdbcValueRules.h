// The rules every value this program writes for the ODBC layer obeys, in one place: a value
// in an ODBC connection string (read by the driver manager and by the driver), and a value in
// a configuration file (FreeTDS's freetds.conf, unixODBC's odbc.ini). A value either reaches
// its reader exactly as given, or it is not written at all.
#pragma once

#include <optional>
#include <string>

// The driver manager's copy of a value: unixODBC reads the wide connection string through a
// copy in which every UTF-16 unit is cut to its low byte (U+017D "Ž" becomes "}", U+013B "Ļ"
// ";", U+012F "į" "/", U+0100 "Ā" a NUL that ends the copy). One byte per UTF-16 unit of the
// UTF-8 text.
std::string DriverManagerCopy(const std::string& utf8);

// The value as written after "key=" for the FreeTDS driver behind the unixODBC driver manager.
// The manager reads a braced value up to the first single "}" ("}}" stands for one), FreeTDS
// up to the first "};" with nothing undone; both read an unbraced value up to the first ";".
// Both the value and the manager's copy of it must read back whole: {value} when neither holds
// "}", the value unbraced when neither holds ";" nor starts with "{", else nothing (no writing
// serves both readers).
std::optional<std::string> FreeTdsQuote(const std::string& value);

// The same for a driver that reads "}}" as "}" (Microsoft's): {value} with "}" doubled; nothing
// when the manager's copy holds a "}" that the value does not (it would end the value there).
std::optional<std::string> OdbcQuote(const std::string& value);

// Why the name cannot name an installed ODBC driver safely ("" when it can): the driver
// manager loads a name it does not know as a library path, and reads the name through its
// narrow copy, so only printable ASCII without "}", "/" or "\" is taken.
std::string DriverNameProblem(const std::string& name);

// Why a value cannot be written as a line of a configuration file and read back as it is
// ("" when it can): ";" or "#" ends it, a line break or NUL cuts the line, blanks at its ends
// are dropped, and FreeTDS folds a tab, a vertical tab, a form feed or a run of blanks inside
// it into one blank.
std::string ConfigValueProblem(const std::string& value);
