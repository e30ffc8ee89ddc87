// Puts the values of an RPC's parameters into its statement text, so that a parameterised
// "KILL @P1" runs like "KILL 53" (tdssim matches texts, it does not evaluate SQL).
#pragma once

#include "Requests.h"

#include <string>
#include <vector>

namespace tdssim {

// declarations: "@P1 int,@P2 nvarchar(10)" as sp_executesql and sp_prepare carry them;
// values: the value parameters in order (named or not).
std::string bindParameters(const std::string& statement, const std::string& declarations,
                           const std::vector<RpcParam>& values);

} // namespace tdssim
