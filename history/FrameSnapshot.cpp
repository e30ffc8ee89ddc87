#include "FrameSnapshot.h"

#include "ProcessList.h"

void FillFromFrame(TProcessList& list, const TEpisode& episode,
                   const std::vector<TEpisodeSession>& sessions, const TEpisodeFrame& frame) {
    list.Clear();
    TProcessItem& head = *list.Add();
    head.Spid = episode.Head.Spid;
    head.LoginName = episode.Head.LoginName;
    head.HostName = episode.Head.HostName;
    head.ProgramName = episode.Head.ProgramName;
    head.DBName = episode.HeadDBName;
    head.Status = frame.HeadStatus;
    head.OpenTran = frame.HeadOpenTran;
    for (const TFrameSession& s : frame.Sessions) {
        TProcessItem& item = *list.Add();
        item.Spid = s.Spid;
        item.Blocked = s.BlockedBy;
        item.WaitTime = s.Wait;
        item.LastWaitType = s.WaitType;
        item.WaitResource = s.WaitResource;
        // A blocked session is suspended on its lock; the frame keeps no more of its state.
        item.Status = "suspended";
        if (s.Ordinal >= 0 && static_cast<std::size_t>(s.Ordinal) < sessions.size()) {
            const TEpisodeSession& known = sessions[static_cast<std::size_t>(s.Ordinal)];
            item.LoginName = known.Key.LoginName;
            item.HostName = known.Key.HostName;
            item.ProgramName = known.Key.ProgramName;
            item.DBName = known.DBName;
        }
    }
    list.BuildBlockTree();
}
