// The queue the kelvane benchmarks time: ten maps, a 3-5-7 layout from the start, imbalance
// thresholds that open after 30 and 90 s over the battle and 60 and 180 s per level, the usual
// per-class caps.
#pragma once

#include <map>

#include "Queue.h"

inline std::map<int, ConfigTuple> benchQueueConfig() {
    ImbalanceTimeouts total, level;
    total.fill({0, 30, 90});
    level.fill({0, 60, 180});
    std::map<int, ConfigTuple> config;
    config[1] = ConfigTuple({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {{3, 5, 7, 0}}, total, level,
                            TeamState{15, 3, 3, 5, 7});
    return config;
}
