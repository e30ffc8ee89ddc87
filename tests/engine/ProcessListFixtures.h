// Small helpers for process list tests: rows in, a readable picture of the forest out.
#pragma once

#include "ProcessList.h"

#include <cstdint>
#include <string>
#include <vector>

struct TRow {
    std::int32_t Spid = 0;
    std::int32_t Blocked = 0;
    std::int32_t WaitTime = 0;
};

// Adds the rows in order; each item carries its row number in Cpu, so that items with the
// same SPID can be told apart.
void Fill(TProcessList& list, const std::vector<TRow>& rows);

// "spid:role" per item, children in parentheses, siblings separated by blanks:
// "10:2(12:1 11:1) 13:0".
std::string Picture(const TProcessList& list);
// The same with row numbers instead of SPIDs: "#0:2(#2:1 #1:1)".
std::string RowPicture(const TProcessList& list);

// Number of items reachable from the top level (iterative; any depth).
std::int64_t ReachableCount(const TProcessList& list);

// The literal algorithm, one forest walk per blocked row, on its own simple nodes. Blocking
// cycles follow the same rule as the program: a row whose blocker lies in its own subtree
// stays where it is, and the blocker still gets role 2.
struct TReferenceResult {
    std::string RowPicture;
    bool HasRealBlocks = false;
    bool HasWarning = false;
};
TReferenceResult ReferenceBuild(const std::vector<TRow>& rows, std::uint16_t warningTimeout);
