// What the process card starts from: the session as the server's latest snapshot has it.
#pragma once

#include "ProcessInfoF.h"

class TProcessModel;
class TServerData;

// The focused row's session from server's latest snapshot, found by the row's SPID; the row's
// own cells when the snapshot no longer holds that SPID (its session has ended).
TProcessDetails LiveDetails(const TServerData& server, const TProcessModel& model, int row);
