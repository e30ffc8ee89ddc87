// Reading one snapshot of the process query into the monitor's process list.
#include "OleException.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "ServerTextLimit.h"

namespace {

// A text column read as text, cut at its column's size in SQL Server and trimmed of characters
// with codes 32 or less. Text columns are trimmed straight from the recordset, without a copy
// of the padded value.
std::string Trimmed(const TDbField& field, std::size_t units) {
    if (field.IsNull()) {
        return {};
    }
    std::string owned;
    std::string_view s = field.AsStringView();
    if (s.empty()) {
        owned = field.AsString(); // an integer column read as text
        s = owned;
    }
    s = CutToUnits(s, units);
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32) {
        ++b;
    }
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

} // namespace

void TServerData::ReadProcesses() {
    Busy = false;
    try {
        State = 0;
        ProcessList.Clear();
        MaxWaitTime = 0;
        try {
            OleCall([this] {
                TDbDataSet& ds = ProcessesAD;
                ds.First();
                while (!ds.Eof()) {
                    if (ds.Fields(1).AsInteger() != 0) {
                        State = 1;
                    }
                    // Filled completely before it joins the list, so a row that cannot be
                    // read leaves no half-filled item behind.
                    TProcessItem row;
                    row.Spid = ds.Fields(0).AsInteger();
                    row.Blocked = ds.Fields(1).AsInteger();
                    row.DBName = Trimmed(ds.Fields(2), ServerTextLimit::Name);
                    row.WaitTime = ds.Fields(3).AsInteger();
                    if (row.Blocked > 0 && row.WaitTime > MaxWaitTime) {
                        MaxWaitTime = row.WaitTime;
                    }
                    row.LastWaitType = Trimmed(ds.Fields(4), ServerTextLimit::LastWaitType);
                    row.WaitResource = Trimmed(ds.Fields(5), ServerTextLimit::WaitResource);
                    row.OpenTran = ds.Fields(6).AsInteger();
                    row.Status = Trimmed(ds.Fields(7), ServerTextLimit::Status);
                    row.HostName = Trimmed(ds.Fields(8), ServerTextLimit::Name);
                    row.ProgramName = Trimmed(ds.Fields(9), ServerTextLimit::Name);
                    row.Cmd = Trimmed(ds.Fields(10), ServerTextLimit::Cmd);
                    row.LoginName = Trimmed(ds.Fields(11), ServerTextLimit::Name);
                    row.Cpu = ds.Fields(12).AsInteger();
                    row.PhysicalIo = ds.Fields(13).AsInteger();
                    row.MemUsage = ds.Fields(14).AsInteger();

                    TProcessItem* item = ProcessList.Add();
                    item->Spid = row.Spid;
                    item->Blocked = row.Blocked;
                    item->DBName = std::move(row.DBName);
                    item->WaitTime = row.WaitTime;
                    item->LastWaitType = std::move(row.LastWaitType);
                    item->WaitResource = std::move(row.WaitResource);
                    item->OpenTran = row.OpenTran;
                    item->Status = std::move(row.Status);
                    item->HostName = std::move(row.HostName);
                    item->ProgramName = std::move(row.ProgramName);
                    item->Cmd = std::move(row.Cmd);
                    item->LoginName = std::move(row.LoginName);
                    item->Cpu = row.Cpu;
                    item->PhysicalIo = row.PhysicalIo;
                    item->MemUsage = row.MemUsage;
                    ds.Next();
                }
            });
        } catch (...) {
            ProcessesAD.Close();
            throw;
        }
        ProcessesAD.Close();
        ProcessList.BuildBlockTree();
        Analysis_.Analyze(ProcessList);
        ++Snapshots;
        SnapshotTime = std::chrono::system_clock::now();
    } catch (const std::exception& e) {
        Owner.LogError(Info.Name, e);
        SetError();
    }
    NotifyChanged(true);
}
