#include <gtest/gtest.h>

#include "Types.h"

TEST(Types, ConvertVehTypesMapsEveryType) {
    EXPECT_EQ(convertVehTypes(typeOther), condSquad);
    EXPECT_EQ(convertVehTypes(typeLight), condSquad);  // light tanks are not scouts
    EXPECT_EQ(convertVehTypes(typeMedium), condSquad);
    EXPECT_EQ(convertVehTypes(typeScout), condScout);
    EXPECT_EQ(convertVehTypes(typeSpg), condSpg);
    for (VehType t : {typeHeavy, typeHeavyAl, typeHeavyAr}) EXPECT_EQ(convertVehTypes(t), condHeavy);
    for (VehType t : {typeAtspg, typeAtspgGl, typeAtspgAr}) EXPECT_EQ(convertVehTypes(t), condAt);
    for (VehType t : {typeMediumFs, typeMediumAl, typeMediumAr})
        EXPECT_EQ(convertVehTypes(t), condSquad);
}

TEST(Types, ConvertVehTypesOutsideTheEnumerationIsNoSpecialClass) {
    for (int raw : {14, 1000, -1, INT32_MIN, INT32_MAX})
        EXPECT_EQ(convertVehTypes(static_cast<VehType>(raw)), condSquad) << raw;
}

TEST(Types, RosterArithmeticRoundTripsThroughNegativeSlots) {
    const SquadRoster start{{1, 0, 2, 0, 0}, {0, 3, 0, 0, 1}};
    const SquadRoster delta{{5, 1, 4, 2, 9}, {7, 7, 0, 1, 2}};
    SquadRoster value = start - delta;
    EXPECT_EQ(value.first, (TeamState{-4, -1, -2, -2, -9}));
    EXPECT_EQ(value.second, (TeamState{-7, -4, 0, -1, -1}));
    value += delta;
    EXPECT_EQ(value, start);
    EXPECT_EQ((start + delta) - delta, start);
    value -= delta;
    EXPECT_EQ(value, start - delta);
    TeamState team = start.first;
    team += delta.first;
    team -= delta.first;
    EXPECT_EQ(team, start.first);
}

TEST(Types, PenaltyTablesAndConstants) {
    EXPECT_EQ(squadPenalty, (TeamState{20, 5, 10, 3, 3}));
    EXPECT_EQ(playersPenalty, (TeamState{0, 5, 10, 3, 3}));
    EXPECT_EQ(levelPenalty, (TeamState{0, 20, 100, 10, 10}));
    EXPECT_EQ(totalPenalty, (TeamState{30, 45, 200, 25, 20}));
    EXPECT_EQ(CONDITION_COUNT, static_cast<int>(condTotal));
    EXPECT_EQ(MAX_SQUAD_IN_QUEUE, 16);
    EXPECT_EQ(MAX_SQUAD_PLAYER_PER_LEVEL, 6);
    EXPECT_DOUBLE_EQ(TICK_TIMEOUT, 0.045);
}
