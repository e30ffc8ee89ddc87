// The schema of the history file: the first version's tables, then what each later version
// adds. A file is brought up step by step, in one transaction, so an older file keeps what it
// holds and gains the new tables.
#pragma once

#include <vector>

struct THistorySchemaStep {
    int Version;
    std::vector<const char*> Statements;
};

extern const std::vector<const char*> BaseSchema;
extern const std::vector<THistorySchemaStep> SchemaSteps;
