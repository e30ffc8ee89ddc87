// Plain types shared by the database connection, its events and the data set.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

// In-out status of a connection event, by the ordinal values the monitor prints.
enum TEventStatus : std::uint8_t {
    esOK = 0,
    esErrorsOccured = 1,
    esCantDeny = 2,
    esCancel = 3,
    esUnwantedEvent = 4,
};

// The name of a status ("esOK" ...); "" for a value outside the table.
const char* EventStatusName(TEventStatus status);

enum TConnectOption : std::uint8_t {
    coConnectUnspecified = 0, // Open waits for the outcome
    coAsyncConnect = 1,       // Open returns at once; the outcome comes in OnConnectComplete
};

// Execute options; combine with |.
enum TExecuteOption : std::uint8_t {
    eoNone = 0,
    eoAsyncExecute = 1,     // Execute returns at once; the outcome comes in OnExecuteComplete
    eoExecuteNoRecords = 2, // no recordset is built (rows, if any, are discarded)
};
using TExecuteOptions = std::uint8_t;

// One error or informational message of the driver or the server.
struct TDbError {
    std::string Description; // the server's (or driver's) own text, unchanged
    std::int32_t NativeError = 0;
    std::string Source;   // who reported it: the ODBC driver's name, or "Tallyvane" for our own
    std::string HelpFile; // ODBC has none; kept for the error kinds that carry it
    std::int32_t HelpContext = 0;
    std::string SqlState; // the ODBC state ("08001", "HYT00", ...)
};

// What a synchronous operation of the connection or the data set throws. The engine turns it
// into its own error kind (EOleException) at the call.
class EDbError : public std::runtime_error {
public:
    explicit EDbError(TDbError error)
        : std::runtime_error(error.Description), Error(std::move(error)) {}
    TDbError Error;
};

// Builds the error object of one of our own failures (no server involved).
TDbError MakeDbError(std::string description, std::string sqlState = "HY000");
