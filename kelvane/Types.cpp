#include "Types.h"

VehCondition convertVehTypes(VehType type) {
    switch (type) {
        case typeHeavy:
        case typeHeavyAl:
        case typeHeavyAr:
            return condHeavy;
        case typeAtspg:
        case typeAtspgGl:
        case typeAtspgAr:
            return condAt;
        case typeSpg:
            return condSpg;
        case typeScout:
            return condScout;
        default:
            // Light tanks are not scouts; unknown values fall here too.
            return condSquad;
    }
}

TeamState& operator+=(TeamState& left, const TeamState& right) {
    for (int i = 0; i < CONDITION_COUNT; ++i) left[i] += right[i];
    return left;
}

TeamState& operator-=(TeamState& left, const TeamState& right) {
    for (int i = 0; i < CONDITION_COUNT; ++i) left[i] -= right[i];
    return left;
}

TeamState operator+(TeamState left, const TeamState& right) { return left += right; }

TeamState operator-(TeamState left, const TeamState& right) { return left -= right; }

SquadRoster& operator+=(SquadRoster& left, const SquadRoster& right) {
    left.first += right.first;
    left.second += right.second;
    return left;
}

SquadRoster& operator-=(SquadRoster& left, const SquadRoster& right) {
    left.first -= right.first;
    left.second -= right.second;
    return left;
}

SquadRoster operator+(SquadRoster left, const SquadRoster& right) { return left += right; }

SquadRoster operator-(SquadRoster left, const SquadRoster& right) { return left -= right; }
