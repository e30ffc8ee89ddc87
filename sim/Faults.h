// The faults one instance can play, set from the scenario or the control port.
#pragma once

#include <string>
#include <string_view>

namespace tdssim {

struct Faults {
    int delayMs = 0;        // every statement is answered this late
    bool hang = false;      // statements are never answered (attention still is)
    bool hangLogin = false; // LOGIN7 is never answered
    bool drop = false;      // a result set is cut off and the connection closed
    bool refuse = false;    // the port refuses connections
    bool rejectLogin = false;
    int queryError = 0;     // the process query fails with this error number (0 = off)
    bool malformed = false; // statements are answered with a malformed packet
};

// Sets one fault by name ("delay", "hang", "hang-login", "drop", "refuse", "reject-login",
// "query-error", "malformed"); value "" turns a flag on. Returns false with a reason.
bool setFault(Faults& f, std::string_view name, std::string_view value, std::string& error);
// "delay=500 hang" etc.; "none" when no fault is set.
std::string describeFaults(const Faults& f);

} // namespace tdssim
