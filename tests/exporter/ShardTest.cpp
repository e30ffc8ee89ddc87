// Shards: the option's syntax, and that N exporters split any fleet without gaps or overlaps,
// the same way on every machine.
#include "Shard.h"

#include <gtest/gtest.h>

namespace {

TEST(Shard, Parse) {
    const struct {
        const char* Text;
        bool Valid;
        std::uint32_t Index;
        std::uint32_t Count;
    } cases[] = {
        {"1/1", true, 1, 1},
        {"2/3", true, 2, 3},
        {"3/3", true, 3, 3},
        {"0/3", false, 0, 0},
        {"4/3", false, 0, 0},
        {"1/0", false, 0, 0},
        {"1", false, 0, 0},
        {"/3", false, 0, 0},
        {"1/", false, 0, 0},
        {"-1/3", false, 0, 0},
        {"+1/3", false, 0, 0},
        {"1/3x", false, 0, 0},
        {" 1/3", false, 0, 0},
        {"1/65536", false, 0, 0},
        {"65535/65535", true, 65535, 65535},
        {"1/99999999999", false, 0, 0},
    };
    for (const auto& c : cases) {
        const auto shard = ParseShard(c.Text);
        ASSERT_EQ(shard.has_value(), c.Valid) << c.Text;
        if (shard) {
            EXPECT_EQ(shard->Index, c.Index) << c.Text;
            EXPECT_EQ(shard->Count, c.Count) << c.Text;
        }
    }
}

TEST(Shard, HashIsFnv1aOfTheNameBytes) {
    // Published FNV-1a test values: another build or machine must agree.
    EXPECT_EQ(ShardHash(""), 0x811c9dc5u);
    EXPECT_EQ(ShardHash("a"), 0xe40c292cu);
    EXPECT_EQ(ShardHash("foobar"), 0xbf9cf968u);
}

TEST(Shard, EveryServerBelongsToExactlyOneShard) {
    for (std::uint32_t count : {1u, 2u, 3u, 7u}) {
        std::vector<int> perShard(count + 1, 0);
        for (int i = 0; i < 700; ++i) {
            const std::string name = "SQL" + std::to_string(i);
            int owners = 0;
            for (std::uint32_t index = 1; index <= count; ++index) {
                owners += InShard(name, {index, count}) ? 1 : 0;
            }
            EXPECT_EQ(owners, 1) << name << " of " << count;
            ++perShard[ShardOf(name, count)];
        }
        // Not a statistics test: only that no shard is left empty by a broken hash.
        for (std::uint32_t index = 1; index <= count; ++index) {
            EXPECT_GT(perShard[index], 0) << index << "/" << count;
        }
    }
}

} // namespace
