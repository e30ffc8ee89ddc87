// Text from clients and servers as a cell of an exported file (CSV, the clipboard): a
// spreadsheet must not take it for a formula, and a terminal that shows the file must not obey
// its escape sequences.
#pragma once

#include <string>
#include <string_view>

// The text without control characters (C0 but tab, CR and LF; DEL; C1; the bidirectional
// controls), with a leading apostrophe when it then starts with =, +, -, @, a tab or a
// carriage return. Bytes that are no UTF-8 character become U+FFFD. Numbers the program
// writes itself do not go through here: they stay numbers.
std::string SpreadsheetText(std::string_view text);
