#include <gtest/gtest.h>

#include "CoreTestAccess.h"

using Keys = std::vector<SquadKey>;

TEST(SquadInfo, SquadIsCountedPerMemberClassButListedNowhere) {
    SquadInfo info;
    info.add(7, 100, 1, {typeHeavy, typeMedium, typeOther});
    using A = CoreTestAccess;
    EXPECT_EQ(A::totalPlayers(info)[condSquad], 2);
    EXPECT_EQ(A::totalPlayers(info)[condHeavy], 1);
    EXPECT_EQ(A::totalTime(info)[condSquad], 200u);
    EXPECT_EQ(A::totalTime(info)[condHeavy], 100u);
    for (int level = 0; level < LEVEL_COUNT; ++level)
        EXPECT_EQ(info.getPlayerCounts(level), (TeamState{}));
    EXPECT_EQ(info.remove(7), 1);
    EXPECT_EQ(A::totalPlayers(info), (std::array<int, 5>{}));
    for (int c = 0; c < CONDITION_COUNT; ++c) EXPECT_EQ(A::totalTime(info)[c], 0u);
    EXPECT_EQ(info.remove(7), -1);
}

TEST(SquadInfo, SinglePlayersAreListedByLevelAndClass) {
    SquadInfo info;
    info.add(1, 7, 2, {typeSpg});
    info.add(2, 9, 2, {typeLight});  // light and medium land at condSquad
    info.add(3, 3, 2, {typeMedium});
    info.add(4, 5, 0, {typeSpg});
    EXPECT_EQ(info.getPlayerCounts(2), (TeamState{2, 0, 1, 0, 0}));
    EXPECT_EQ(info.getPlayerCounts(0), (TeamState{0, 0, 1, 0, 0}));
    ASSERT_EQ(info.getSquads(2, condSpg).size(), 1u);
    EXPECT_EQ(info.getSquads(2, condSpg).begin()->first, 7u);
    EXPECT_EQ(info.getSquads(2, condSpg).begin()->second, 1u);
    EXPECT_EQ(keysOf(info.getSquads(2, condSquad)), (Keys{3, 2}));
    EXPECT_EQ(info.remove(1), -1);
    EXPECT_EQ(info.getSquads(2, condSpg).size(), 0u);
    EXPECT_EQ(info.getPlayerCounts(2), (TeamState{2, 0, 0, 0, 0}));
    EXPECT_TRUE(info.contains(2));
    EXPECT_FALSE(info.contains(1));
}

TEST(SquadInfo, AverageWaitWeighsEveryClassWithPlayersTheSame) {
    SquadInfo info;
    EXPECT_EQ(info.getAvgWaitTime(0), 0u);
    EXPECT_EQ(info.getAvgWaitTime(12345), 0u);
    info.add(1, 10, 0, {typeMedium});
    info.add(2, 20, 0, {typeMedium});
    info.add(3, 40, 1, {typeHeavy});
    // Class means 15 and 40; their mean 27 (rounded down); 50 - 27.
    EXPECT_EQ(info.getAvgWaitTime(50), 23u);
    // A class whose last player left no longer takes part.
    info.remove(3);
    EXPECT_EQ(info.getAvgWaitTime(50), 35u);
    info.remove(1);
    info.remove(2);
    EXPECT_EQ(info.getAvgWaitTime(50), 0u);
}

TEST(SquadInfo, AverageWaitOfAnEarlierTimeIsZeroNotAWrap) {
    SquadInfo info;
    info.add(1, 1000, 0, {typeMedium});
    EXPECT_EQ(info.getAvgWaitTime(999), 0u);
    EXPECT_EQ(info.getAvgWaitTime(1000), 0u);
    EXPECT_EQ(info.getAvgWaitTime(1001), 1u);
}

TEST(SquadInfo, TimeSumsDoNotOverflowWithHugeTimes) {
    SquadInfo info;
    const MatchmakerTime big = UINT64_MAX - 1000;
    for (SquadKey key = 1; key <= 100; ++key) info.add(key, big, 0, {typeHeavy, typeMedium});
    info.add(500, big - 10, 1, {typeScout});
    // Class means big, big and big - 10: the mean of means rounds down to big - 4.
    EXPECT_EQ(info.getAvgWaitTime(UINT64_MAX), 1004u);
    for (SquadKey key = 1; key <= 100; ++key) EXPECT_EQ(info.remove(key), 0);
    EXPECT_EQ(info.getAvgWaitTime(big), 10u);
}

TEST(SquadInfo, SquadWithoutMembersIsForgottenWithItsLevel) {
    SquadInfo info;
    info.add(9, 5, 2, {});
    EXPECT_TRUE(info.contains(9));
    EXPECT_EQ(info.getAvgWaitTime(10), 0u);
    EXPECT_EQ(info.remove(9), 2);
}
