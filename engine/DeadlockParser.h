// Deadlock reports read from their XML: the system_health ring buffer's target_data (every
// xml_deadlock_report event in it) or one <deadlock> element (a stored report, an .xdl file).
// The text is untrusted: document type declarations (and so entity expansion) are refused,
// the input, the nesting and each text field are bounded, control characters stay data.
#pragma once

#include "DeadlockReport.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// More input than this is read as if it had been cut off there.
inline constexpr std::size_t kDeadlockMaxXmlBytes = 16 * 1024 * 1024;
// Deeper documents are refused; a report nests about ten levels.
inline constexpr int kDeadlockMaxDepth = 64;
// A statement longer than this (in UTF-16 units) is cut; names and other fields are cut at
// kDeadlockMaxField.
inline constexpr std::size_t kDeadlockMaxStatement = 64 * 1024;
inline constexpr std::size_t kDeadlockMaxField = 4 * 1024;

// The reports of the xml_deadlock_report events in a ring buffer's target_data, in document
// order. A document cut off gives the reports before the cut plus the one it cut (marked
// Truncated); a refused document gives none. *error (when given) is set to why the document
// was cut off or refused, and cleared when it was read to its end.
std::vector<TDeadlockReport> ParseDeadlockEvents(std::string_view targetData,
                                                 std::string* error = nullptr);

// One report from a <deadlock> element (also found inside <deadlock-list>, as .xdl files
// hold it). Time stays 0: the element carries none. A text without a <deadlock> element
// gives an empty report; *error as above, and says so.
TDeadlockReport ParseDeadlockReport(std::string_view deadlockXml, std::string* error = nullptr);

// "2026-12-11T02:21:43.123Z" (or with an offset such as "+02:00", or more fraction digits)
// as milliseconds since 1970 UTC; false when the text is no such time.
bool ParseDeadlockTimestamp(std::string_view text, std::int64_t& msSince1970);
