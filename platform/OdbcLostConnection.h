// Turns the FreeTDS driver's vague words about a connection that failed or went away into
// messages that say what happened. Private to the platform layer.
#pragma once

#include "DbTypes.h"

#include <cstdint>
#include <string>

// A statement failed on a connection that is now dead (session killed, network gone): the
// error says so, keeping any words of the driver's that say more than "Unknown error".
void ExplainLostConnection(TDbError& error);

// The driver could not reach the server ("Adaptive Server is unavailable or does not exist"):
// tries the address once itself and appends which address and port failed and why (refused,
// no answer, name not found). Waits at most timeoutSeconds.
void ExplainUnreachable(TDbError& error, const std::string& host, std::uint16_t port,
                        std::uint32_t timeoutSeconds);
