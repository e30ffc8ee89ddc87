// The data set's cursor and its conversions: NULL gives 0 or empty text, wider integers keep
// their low 32 bits, a closed recordset cannot be given.
#include "DbDataSet.h"

#include "DbTypes.h"

#include <gtest/gtest.h>

namespace {

TDbValue Int(std::int64_t v) {
    TDbValue value;
    value.Type = TDbValue::Int;
    value.IntValue = v;
    return value;
}

TDbValue Text(std::string v) {
    TDbValue value;
    value.Type = TDbValue::Text;
    value.TextValue = std::move(v);
    return value;
}

TEST(DbDataSet, ConversionsOfOneColumn) {
    struct {
        TDbValue Value;
        std::int32_t AsInteger;
        const char* AsString;
    } cases[] = {
        {TDbValue(), 0, ""},
        {Int(53), 53, "53"},
        {Int(-2), -2, "-2"},
        {Int(0x1'0000'0007LL), 7, "4294967303"},
        {Int(0xFFFF'FFFFLL), -1, "4294967295"},
        {Text(" 42 "), 42, " 42 "},
        {Text(""), 0, ""},
        {Text("-17"), -17, "-17"},
    };
    std::vector<TDbValue> cells;
    for (const auto& c : cases) {
        cells.push_back(c.Value);
    }
    auto rs = std::make_shared<TDbRecordset>(std::vector<TDbColumn>{{"c", false}}, cells);
    TDbDataSet ds;
    ds.SetRecordset(rs);
    ASSERT_TRUE(ds.Active());
    std::size_t row = 0;
    for (ds.First(); !ds.Eof(); ds.Next(), ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(ds.Fields(0).AsInteger(), cases[row].AsInteger);
        EXPECT_EQ(ds.Fields(0).AsString(), cases[row].AsString);
    }
    EXPECT_EQ(row, std::size(cases));
    // Past the end every column reads as NULL.
    EXPECT_EQ(ds.Fields(0).AsInteger(), 0);
}

TEST(DbDataSet, ErrorsAndClosedStates) {
    TDbDataSet ds;
    EXPECT_FALSE(ds.Active());
    EXPECT_TRUE(ds.Eof());
    EXPECT_THROW(ds.Fields(0), EDbError);
    ds.SetRecordset(nullptr); // none leaves it closed
    EXPECT_FALSE(ds.Active());
    EXPECT_THROW(ds.SetRecordset(std::make_shared<TDbRecordset>()), EDbError);
    EXPECT_FALSE(ds.Active());

    auto rs = std::make_shared<TDbRecordset>(std::vector<TDbColumn>{{"n", false}},
                                             std::vector<TDbValue>{Text("twelve")});
    ds.SetRecordset(rs);
    EXPECT_THROW(ds.Fields(0).AsInteger(), EDbError);
    EXPECT_THROW(ds.Fields(1), EDbError);
    ds.SetActive(false);
    EXPECT_FALSE(ds.Active());
    EXPECT_THROW(ds.Fields(0), EDbError);
}

} // namespace
