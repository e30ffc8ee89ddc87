// Small text helpers shared by the scenario reader, the statement matcher and the control port.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tdssim {

std::string trim(std::string_view s);
std::string lowerAscii(std::string_view s);
// Whole-string decimal integer with optional sign.
bool parseInteger(std::string_view s, long long& out);
bool parseNumber(std::string_view s, double& out);
// Splits on runs of blanks.
std::vector<std::string> splitWords(std::string_view s);
// JSON string literal, quotes included.
std::string jsonQuote(std::string_view s);
// Undoes \n \r \t \\ \" escapes.
std::string unescape(std::string_view s);

} // namespace tdssim
