#include <gtest/gtest.h>

#include "CoreTestAccess.h"

using Keys = std::vector<SquadKey>;

TEST(SquadKeysSortedList, EmptyListAnswersDefaults) {
    SquadKeysSortedList list;
    EXPECT_EQ(list.size(), 0u);
    EXPECT_TRUE(list.begin() == list.end());
    EXPECT_EQ(list.getMinTime(77), 77u);
    EXPECT_EQ(list.getEnqueueTime(5, 99), 99u);
    list.remove(5);
    EXPECT_EQ(list.size(), 0u);
}

// P, Q, R, S with times 5, 3, 5, 4 iterate Q, S, P, R whichever operation added them.
TEST(SquadKeysSortedList, OrdersByTimeThenArrivalWithAnyMixOfAdds) {
    const SquadKey P = 1, Q = 2, R = 3, S = 4;
    for (int mask = 0; mask < 16; ++mask) {
        SquadKeysSortedList list;
        const std::pair<SquadKey, MatchmakerTime> adds[] = {{P, 5}, {Q, 3}, {R, 5}, {S, 4}};
        for (int i = 0; i < 4; ++i) {
            if (mask & (1 << i))
                list.push_back(adds[i].first, adds[i].second);
            else
                list.insert(adds[i].first, adds[i].second);
        }
        EXPECT_EQ(keysOf(list), (Keys{Q, S, P, R})) << "mask " << mask;
        EXPECT_EQ(list.begin()->first, 3u);
        EXPECT_EQ(list.getMinTime(0), 3u);
        EXPECT_EQ(list.getEnqueueTime(R, 0), 5u);
    }
}

TEST(SquadKeysSortedList, PushBackOfAnEarlierTimeLandsAfterItsEquals) {
    SquadKeysSortedList list;
    list.push_back(1, 10);
    list.push_back(2, 20);
    list.push_back(3, 10);  // earlier than the last: searched like insert
    list.push_back(4, 20);
    list.push_back(5, 5);
    EXPECT_EQ(keysOf(list), (Keys{5, 1, 3, 2, 4}));
}

TEST(SquadKeysSortedList, RemoveTakesOnlyThatKeyAndKeepsTheOthersOrder) {
    SquadKeysSortedList list;
    list.insert(1, 5);
    list.insert(2, 3);
    list.insert(3, 5);
    list.insert(4, 4);
    list.insert(5, 5);
    list.remove(1);
    EXPECT_EQ(keysOf(list), (Keys{2, 4, 3, 5}));
    EXPECT_EQ(list.getEnqueueTime(1, 42), 42u);
    EXPECT_FALSE(list.contains(1));
    EXPECT_EQ(list.size(), 4u);
    list.remove(1);  // absent now
    list.remove(99);
    EXPECT_EQ(keysOf(list), (Keys{2, 4, 3, 5}));
    list.remove(5);
    EXPECT_EQ(keysOf(list), (Keys{2, 4, 3}));
}

TEST(SquadKeysSortedList, MinTimeIsTheSmallestWhateverTheDefault) {
    SquadKeysSortedList list;
    list.insert(1, 50);
    list.insert(2, 40);
    EXPECT_EQ(list.getMinTime(40), 40u);
    EXPECT_EQ(list.getMinTime(10), 40u);
    EXPECT_EQ(list.getMinTime(1000), 40u);
}
