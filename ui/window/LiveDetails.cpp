#include "LiveDetails.h"

#include "ProcessList.h"
#include "ProcessModel.h"
#include "ServerData.h"

TProcessDetails LiveDetails(const TServerData& server, const TProcessModel& model, int row) {
    TProcessDetails details;
    details.Known = true;
    details.Spid = model.Spid(row);
    if (const TProcessItem* item =
            server.State != 2 ? server.ProcessList.FindBySpid(details.Spid) : nullptr) {
        details.Login = item->LoginName;
        details.Host = item->HostName;
        details.Program = item->ProgramName;
        details.Database = item->DBName;
        details.Status = item->Status;
        details.Wait =
            TProcessModel::WaitInfoText(item->WaitTime, item->LastWaitType, item->WaitResource)
                .toStdString();
        details.WaitResource = item->WaitResource;
        return details;
    }
    const auto cell = [&](int column) { return model.Text(row, column).toStdString(); };
    details.Login = cell(TProcessModel::LoginNameTLC);
    details.Host = cell(TProcessModel::HostNameTLC);
    details.Program = cell(TProcessModel::AppNameTLC);
    details.Database = cell(TProcessModel::DBNameTLC);
    details.Status = cell(TProcessModel::StatusTLC);
    details.Wait = cell(TProcessModel::WaitInfoTLC);
    details.WaitResource = model.WaitResource(row);
    return details;
}
