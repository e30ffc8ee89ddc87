// What the "Causes" grouping keys an episode by, besides the head blocker's login, program and
// host: its statement with the values taken out, and the object its sessions waited on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Longest fingerprint kept; a longer statement is cut there (a group of one is no worse).
inline constexpr std::size_t MaxFingerprint = 2000;

// The statement with its literals replaced: strings ('..', N'..') and numbers become ?, an
// IN-list of them becomes in (?), comments go, white space folds to one blank, letters fold to
// lower case. One pass over the text, whatever it holds (an unterminated string runs to the
// end and counts as one literal).
std::string StatementFingerprint(std::string_view statement);

// The object a wait resource names, by ids: "database 5, hobt 72057594043301888" for a key or
// hobt, "database 5, object 1977058079" for an object or table, "database 7, PAGE" for the
// other kinds, the text itself (cut to 200 bytes) when it is not recognised; empty for none.
std::string WaitObject(std::string_view waitResource);
