// The causes as CSV, by the rules of the episode export (EpisodeCsv.h): text through the
// spreadsheet rules, numbers as numbers, times local with their offset.
#pragma once

#include "HistoryStore.h"

#include <string>
#include <vector>

// "Head login", "Program", "Host", "Statement", "Object".
const char* CauseKindName(TCauseKind kind);

std::string CausesCsv(TCauseKind kind, const std::vector<TCause>& causes);
