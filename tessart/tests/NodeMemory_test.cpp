// Tests of the node memory: slots stay inside mapped, aligned chunks and never overlap, free
// slots are taken lowest first, and emptied chunks go back but one.

#include "NodeMemory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace {

struct Live {
    unsigned char* slot;
    unsigned char mark;
};

// Every byte of a slot carries its mark, so that two slots sharing memory show.
void fill(const Live& live) {
    memset(live.slot, live.mark, NODE_SLOT_SIZE);
}

bool intact(const Live& live) {
    for (size_t i = 0; i < NODE_SLOT_SIZE; ++i)
        if (live.slot[i] != live.mark) return false;
    return true;
}

TEST(NodeMemory, AChunkLiesAlignedWithinItsSpanWhereverTheSpanStarts) {
    // The kernel may well hand out aligned spans anyway, so every start is tried here.
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t base = uintptr_t(1) << 40;
    for (uintptr_t start = base; start < base + 2 * NODE_CHUNK_SIZE; start += page) {
        uintptr_t chunk = chunkWithin(start);
        ASSERT_EQ(chunk % NODE_CHUNK_SIZE, 0u);
        ASSERT_GE(chunk, start);
        ASSERT_LE(chunk + NODE_CHUNK_SIZE, start + NODE_MAP_SPAN);
    }
}

TEST(NodeMemory, SlotsLieInsideTheirMappedChunksAndNeverOverlap) {
    NodeMemory memory;
    std::mt19937 rng(7);
    std::vector<Live> live;
    std::set<const NodeChunk*> chunks;
    unsigned char mark = 0;
    // Grows to about two and a half chunks of slots, then shrinks to nothing.
    for (size_t step = 0; step < 6 * NODE_SLOTS; ++step) {
        bool grow = step < 4 * NODE_SLOTS ? rng() % 8 != 0 : live.empty() ? false : rng() % 8 == 0;
        if (grow) {
            auto* slot = static_cast<unsigned char*>(memory.allocate());
            ASSERT_NE(slot, nullptr);
            uintptr_t offset = reinterpret_cast<uintptr_t>(slot) -
                               reinterpret_cast<uintptr_t>(NodeMemory::chunkOf(slot));
            ASSERT_EQ(offset % CACHE_LINE, 0u);
            ASSERT_GE(offset, sizeof(NodeChunk));
            ASSERT_LE(offset + NODE_SLOT_SIZE, NODE_CHUNK_SIZE);
            chunks.insert(NodeMemory::chunkOf(slot));
            live.push_back({slot, ++mark});
            fill(live.back());
        } else if (!live.empty()) {
            size_t i = rng() % live.size();
            ASSERT_TRUE(intact(live[i]));
            memory.release(live[i].slot);
            live[i] = live.back();
            live.pop_back();
        }
    }
    for (const Live& l : live) {
        ASSERT_TRUE(intact(l));
        memory.release(l.slot);
    }
    EXPECT_GE(chunks.size(), 3u);
    EXPECT_EQ(memory.chunkCount(), 1u);  // the one kept empty
}

const unsigned char PREPARED = 0x5a;

void prepare(void* slot) {
    *static_cast<unsigned char*>(slot) = PREPARED;
}

TEST(NodeMemory, TakesTheLowestFreeSlotPreparedOnceAndKeepsOneEmptyChunk) {
    NodeMemory memory(prepare);
    std::vector<void*> slots;
    for (size_t i = 0; i < NODE_SLOTS; ++i) {
        slots.push_back(memory.allocate());
        // Never taken before: zeroed, then prepared.
        const unsigned char* bytes = static_cast<unsigned char*>(slots.back());
        ASSERT_EQ(bytes[0], PREPARED);
        ASSERT_TRUE(
            std::all_of(bytes + 1, bytes + NODE_SLOT_SIZE, [](unsigned char b) { return !b; }));
        *static_cast<unsigned char*>(slots.back()) = 0;
    }
    EXPECT_TRUE(std::is_sorted(slots.begin(), slots.end()));
    EXPECT_EQ(NodeMemory::chunkOf(slots.front()), NodeMemory::chunkOf(slots.back()));
    EXPECT_EQ(memory.chunkCount(), 1u);

    std::mt19937 rng(3);
    std::vector<void*> holes;
    for (size_t i = rng() % 64; i < slots.size(); i += 1 + rng() % 300) holes.push_back(slots[i]);
    std::shuffle(holes.begin(), holes.end(), rng);
    for (void* slot : holes) memory.release(slot);
    std::sort(holes.begin(), holes.end());
    for (void* hole : holes) {
        EXPECT_EQ(memory.allocate(), hole);
        EXPECT_EQ(*static_cast<unsigned char*>(hole), 0);  // as its user left it
    }

    void* beyond = memory.allocate();  // the chunk is full again
    EXPECT_NE(NodeMemory::chunkOf(beyond), NodeMemory::chunkOf(slots[0]));
    EXPECT_EQ(memory.chunkCount(), 2u);
    memory.release(beyond);
    for (void* slot : slots) memory.release(slot);
    EXPECT_EQ(memory.chunkCount(), 1u);
}

}  // namespace
