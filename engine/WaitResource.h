// The wait resource of a process (sysprocesses.waitresource) explained in words: which lock or
// latch the process waits for, with the database named from its id. Pure text work; the object
// and index names that need the server are looked up separately (ObjectNamesQuery).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct TWaitResource {
    std::string Kind;             // "KEY", "PAGE", ... upper case; empty when not recognised
    std::int32_t DatabaseId = -1; // -1: none in the text
    std::int64_t ObjectId = 0;    // OBJECT and TAB
    std::int32_t IndexId = -1;    // TAB's third field
    std::int64_t HobtId = 0;      // KEY and HOBT (partition / heap-or-B-tree id)
    bool Compile = false;         // a compile lock ([COMPILE])
    std::string Words;            // the explanation; the raw text when not recognised
};

// The name of a database id, empty when unknown.
using TDatabaseNameOf = std::function<std::string(std::int32_t)>;

// Decodes one wait resource text. The latch suffix that newer servers append is cut off.
TWaitResource DecodeWaitResource(std::string_view text, const TDatabaseNameOf& databaseName);

// "Sales (5)", or "database 5" when the name is unknown.
std::string DatabaseWords(std::int32_t id, const TDatabaseNameOf& databaseName);

// One catalog query that names the object (and index) behind a decoded resource, or empty
// when the resource names none. Its one row: schema, object, index (each may be NULL).
// KEY and HOBT need the database's name to reach its catalog; without it: empty.
std::string ObjectNamesQuery(const TWaitResource& resource, const std::string& databaseName);
