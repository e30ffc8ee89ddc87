// Wait resources in words: every kind a DBA meets, database names from ids, the latch suffix,
// compile markers, texts that are not wait resources, and the catalog query for names.
#include "WaitResource.h"

#include <gtest/gtest.h>

namespace {

std::string NameOf(std::int32_t id) {
    switch (id) {
    case 5:
        return "Sales";
    case 7:
        return "HR]Archive";
    default:
        return "";
    }
}

struct TCase {
    const char* Text;
    const char* Kind;
    std::int32_t Db;
    const char* Words;
};

TEST(WaitResourceTest, EveryKindIsExplainedWithItsDatabase) {
    const TCase cases[] = {
        {"KEY: 5:72057594043301888 (8194443284a0)", "KEY", 5,
         "Key lock on a row of index (hobt 72057594043301888) in Sales (5), key hash "
         "8194443284a0"},
        {"PAGE: 5:1:104", "PAGE", 5, "Page 104 of file 1 in Sales (5)"},
        {"RID: 6:1:3120:4", "RID", 6,
         "Row 4 on page 3120 of file 1 in database 6 (a table without clustered index)"},
        {"OBJECT: 5:2105058535:0 ", "OBJECT", 5, "Table or object 2105058535 in Sales (5)"},
        {"OBJECT: 5:2105058535:3", "OBJECT", 5,
         "Table or object 2105058535 in Sales (5), lock partition 3"},
        {"TAB: 5:1977058079:0", "TAB", 5, "Table or object 1977058079 in Sales (5)"},
        {"TAB: 5:1977058079:2", "TAB", 5, "Table or object 1977058079 in Sales (5), index 2"},
        {"HOBT: 5:72057594046660608", "HOBT", 5, "Heap or B-tree 72057594046660608 in Sales (5)"},
        {"FILE: 5:0", "FILE", 5, "File 0 in Sales (5)"},
        {"DATABASE: 5:0", "DATABASE", 5, "The whole database Sales (5)"},
        {"DATABASE: 5:0 [BULKOP_BACKUP_DB]", "DATABASE", 5,
         "The whole database Sales (5) [BULKOP_BACKUP_DB]"},
        {"APPLICATION: 5:0:[NightlyLoad]:(9e8a41b2)", "APPLICATION", 5,
         "Application lock \"NightlyLoad\" in Sales (5)"},
        // A latch marker inside a lock's name is part of the name.
        {"APPLICATION: 5:0:[ORDER LATCH 1]:(3c4e)", "APPLICATION", 5,
         "Application lock \"ORDER LATCH 1\" in Sales (5)"},
        {"APPLICATION: 5:0:[x (LATCH y]:(3c4e)", "APPLICATION", 5,
         "Application lock \"x (LATCH y\" in Sales (5)"},
        {"APPLICATION: 5:0:[[LATCH]:(3c4e)", "APPLICATION", 5,
         "Application lock \"[LATCH\" in Sales (5)"},
        {"METADATA: database_id = 5 SCHEMA(schema_id = 1)", "METADATA", 5,
         "Metadata lock in Sales (5): SCHEMA(schema_id = 1)"},
        {"EXTENT: 5:1:152", "EXTENT", 5, "Extent at page 152 of file 1 in Sales (5)"},
        {"ALLOCATION_UNIT: 5:72057594046660608", "ALLOCATION_UNIT", 5,
         "Allocation unit 72057594046660608 in Sales (5)"},
        // Latches name the page without a kind; newer servers add the latch's address.
        {"5:1:104", "PAGE", 5, "Page 104 of file 1 in Sales (5)"},
        {"5:1:104 (LATCH 0x000001A3E2A8C1D8)", "PAGE", 5, "Page 104 of file 1 in Sales (5)"},
        {"PAGE: 2:1:3 (LATCH 0x00000288F5A7C4E0 ...)", "PAGE", 2, "Page 3 of file 1 in database 2"},
        // Compile locks, with one or two brackets.
        {"TAB: 5:886293007:0 [[COMPILE]]", "TAB", 5,
         "Table or object 886293007 in Sales (5); compile lock (a plan being compiled)"},
        {"OBJECT: 5:886293007:0 [COMPILE]", "OBJECT", 5,
         "Table or object 886293007 in Sales (5); compile lock (a plan being compiled)"},
        {"  key: 5:1 (ab)  ", "KEY", 5,
         "Key lock on a row of index (hobt 1) in Sales (5), key hash ab"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Text);
        const TWaitResource r = DecodeWaitResource(c.Text, NameOf);
        EXPECT_EQ(r.Kind, c.Kind);
        EXPECT_EQ(r.DatabaseId, c.Db);
        EXPECT_EQ(r.Words, c.Words);
    }
}

// An application lock's name is the application's own text: what looks like a latch suffix
// or a compile marker in it is part of the name.
TEST(WaitResourceTest, ApplicationLockNamesAreNeverMarkers) {
    const struct {
        const char* Text;
        const char* Name;
    } cases[] = {
        {"APPLICATION: 5:0:[LATCH]:(3c4e)", "LATCH"},
        {"APPLICATION: 5:0:[latch 0x1F]:(3c4e)", "latch 0x1F"},
        {"APPLICATION: 5:0:[Nightly [COMPILE]]:(3c4e)", "Nightly [COMPILE]"},
        {"APPLICATION: 5:0:[[[COMPILE]]]:(3c4e)", "[[COMPILE]]"},
        {"Application : 5:0:[x] (LATCH y]:(3c4e)", "x] (LATCH y"},
        {"APPLICATION: 5:0:[a]:(b]:(3c4e)", "a]:(b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TWaitResource r = DecodeWaitResource(c.Text, NameOf);
        EXPECT_EQ(r.Kind, "APPLICATION");
        EXPECT_EQ(r.DatabaseId, 5);
        EXPECT_FALSE(r.Compile);
        EXPECT_EQ(r.Words, "Application lock \"" + std::string(c.Name) + "\" in Sales (5)");
    }
    // The markers still count after the name, and on other resources.
    EXPECT_TRUE(DecodeWaitResource("OBJECT: 5:886293007:0 [COMPILE]", NameOf).Compile);
    EXPECT_EQ(DecodeWaitResource("5:1:104 [LATCH 0x1F]", NameOf).Words,
              "Page 104 of file 1 in Sales (5)");
}

TEST(WaitResourceTest, TextsThatAreNoWaitResourceStayAsTheyAre) {
    for (const char* text : {"", "   ", "KEY:", "KEY: x:1", "PAGE: 5:1", "RID: 5:1:2", "5:1",
                             "METADATA: nothing", "SOMETHING: 5:1", "ACCESS_METHODS_DATASET_PARENT",
                             "KEY: 5:99999999999999999999999 (a)"}) {
        SCOPED_TRACE(text);
        const TWaitResource r = DecodeWaitResource(text, NameOf);
        EXPECT_EQ(r.Kind, "");
        EXPECT_EQ(r.DatabaseId, -1);
        EXPECT_EQ(r.Words, std::string(text).find_first_not_of(' ') == std::string::npos
                               ? std::string()
                               : std::string(text));
    }
    // No name function at all: ids only.
    EXPECT_EQ(DecodeWaitResource("PAGE: 5:1:104", {}).Words, "Page 104 of file 1 in database 5");
}

TEST(WaitResourceTest, IdsForTheCatalogLookup) {
    const TWaitResource key = DecodeWaitResource("KEY: 5:72057594043301888 (8194443284a0)", NameOf);
    EXPECT_EQ(key.HobtId, 72057594043301888);
    EXPECT_EQ(key.ObjectId, 0);
    const TWaitResource tab = DecodeWaitResource("TAB: 5:1977058079:2", NameOf);
    EXPECT_EQ(tab.ObjectId, 1977058079);
    EXPECT_EQ(tab.IndexId, 2);

    EXPECT_EQ(ObjectNamesQuery(tab, "Sales"),
              "select object_schema_name(1977058079, 5), object_name(1977058079, 5), null");
    EXPECT_EQ(ObjectNamesQuery(key, "Sales"),
              "select object_schema_name(p.object_id, 5), object_name(p.object_id, 5), i.name "
              "from [Sales].sys.partitions p left join [Sales].sys.indexes i on i.object_id = "
              "p.object_id and i.index_id = p.index_id where p.hobt_id = 72057594043301888");
    // A bracket in the name is doubled, so the name cannot end the quoting.
    const TWaitResource hr = DecodeWaitResource("HOBT: 7:42", NameOf);
    EXPECT_NE(ObjectNamesQuery(hr, NameOf(7)).find("[HR]]Archive].sys.partitions"),
              std::string::npos);
    // Nothing to ask: a page, an unknown database name for a key, an unrecognised text.
    EXPECT_EQ(ObjectNamesQuery(DecodeWaitResource("PAGE: 5:1:104", NameOf), "Sales"), "");
    EXPECT_EQ(ObjectNamesQuery(key, ""), "");
    EXPECT_EQ(ObjectNamesQuery(DecodeWaitResource("junk", NameOf), "Sales"), "");
}

} // namespace
