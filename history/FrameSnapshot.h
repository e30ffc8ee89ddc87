// A recorded frame as a process snapshot again, so that the replay arranges it with the same
// blocking tree (BuildBlockTree) and shows it with the same rows as the live view: the head
// blocker and every session blocked at that refresh, each with its wait as it stood then.
#pragma once

#include "Episode.h"
#include "EpisodeFrame.h"

#include <vector>

class TProcessList;

// Clears the list and fills it from the frame; names (login, host, program, database) come
// from the episode's sessions by ordinal. The list is arranged (BuildBlockTree) on return.
void FillFromFrame(TProcessList& list, const TEpisode& episode,
                   const std::vector<TEpisodeSession>& sessions, const TEpisodeFrame& frame);
