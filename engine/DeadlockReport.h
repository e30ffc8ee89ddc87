// A deadlock as the server reported it: the processes that took part (the victims among them)
// and the resources they held and wanted. Parsed from the report's XML, which is kept whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TDeadlockProcess {
    std::string Id; // the report's process id, e.g. "process1f2c3a8c8"; resources refer to it
    std::int32_t Spid = 0;
    bool Victim = false;
    std::string LoginName;
    std::string HostName;
    std::string ProgramName;
    std::string DBName;
    std::string LockMode; // the mode it waited for
    std::string
        WaitResource; // as the server writes it, e.g. "KEY: 5:72057594045136896 (8194443284a0)"
    std::string ObjectName; // the object and index it wanted, from the resource it waited on
    std::string IndexName;
    std::string Statement; // its input buffer
};

struct TDeadlockLock {
    std::string ProcessId;
    std::string Mode;
};

struct TDeadlockResource {
    std::string
        Kind; // the element's name: keylock, pagelock, objectlock, ridlock, exchangeEvent, ...
    std::string ObjectName;
    std::string IndexName;
    std::string WaitType; // what an exchangeEvent's threads wait for, e.g. "e_waitPipeGetRow"
    std::vector<TDeadlockLock> Owners;
    std::vector<TDeadlockLock> Waiters;
};

struct TDeadlockReport {
    std::int64_t Time = 0;                   // the event's timestamp, milliseconds since 1970 (UTC)
    std::vector<TDeadlockProcess> Processes; // in the order of the report's process list
    std::vector<TDeadlockResource> Resources;
    std::string Xml;        // the <deadlock> element as the server wrote it
    bool Truncated = false; // the report was cut off; what could be read is kept

    // The first victim the report names; nullptr when it names none.
    const TDeadlockProcess* FirstVictim() const {
        for (const TDeadlockProcess& p : Processes)
            if (p.Victim)
                return &p;
        return nullptr;
    }
};
