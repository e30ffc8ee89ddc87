#include "DbTypes.h"

const char* EventStatusName(TEventStatus status) {
    switch (status) {
    case esOK:
        return "esOK";
    case esErrorsOccured:
        return "esErrorsOccured";
    case esCantDeny:
        return "esCantDeny";
    case esCancel:
        return "esCancel";
    case esUnwantedEvent:
        return "esUnwantedEvent";
    }
    return "";
}

TDbError MakeDbError(std::string description, std::string sqlState) {
    TDbError error;
    error.Description = std::move(description);
    error.Source = "Tallyvane";
    error.SqlState = std::move(sqlState);
    return error;
}
