// Memory for the module's plain node objects: fixed slots in chunks of their own.
//
// Nodes live apart from the interpreter's small objects. A chunk is NODE_CHUNK_SIZE bytes,
// aligned to its size and offered to the kernel for a huge page, so that a descent or a walk over
// a large tree does not miss the address translation cache at nearly every node on top of the
// data cache. A chunk opens with its header, then holds slots of NODE_SLOT_SIZE bytes, each
// starting a cache line.
//
// Guarantees:
// - allocate() returns a slot of NODE_SLOT_SIZE bytes aligned to CACHE_LINE, wholly inside
//   memory mapped for its chunk; no two live slots overlap.
// - A new slot is the free slot lowest in memory of the latest chunk opened that has one: slots
//   taken one after another sit side by side, and finding the next reads no freed memory (a
//   chain through the freed slots would cost a cache miss per slot taken).
// - A chunk whose last slot is released is unmapped, except one kept empty for the next slots.
// - A slot never taken before is zeroed and then, where a preparation was given, prepared when
//   its chunk is mapped; a released slot keeps what its user left in it. Nothing else here
//   touches the contents of a slot, and nothing is thread-safe: every caller holds the
//   interpreter lock.
//
// Free of Python.h and of the C++ runtime, so that it is tested without an interpreter.

#ifndef TESSART_NODEMEMORY_H
#define TESSART_NODEMEMORY_H

#include <stddef.h>
#include <stdint.h>

constexpr size_t CACHE_LINE = 64;
constexpr size_t NODE_CHUNK_SIZE = size_t(2) << 20;
// Three lines: a node object of two, and the line before it for what the interpreter keeps in
// front of an object it collects cycles of, which most nodes never write.
constexpr size_t NODE_SLOT_SIZE = 3 * CACHE_LINE;
// Where in a slot what its user writes as a rule begins: allocate() starts loading the slot it
// will hand out next from here on.
constexpr size_t NODE_SLOT_HOT = CACHE_LINE;

// Words of the free-slot bitmap: enough for a chunk of slots with no header at all.
constexpr size_t NODE_SLOT_WORDS = (NODE_CHUNK_SIZE / NODE_SLOT_SIZE + 63) / 64;

struct NodeChunk {
    NodeChunk* prev;  // neighbours in the open chunks
    NodeChunk* next;
    size_t used;                         // slots taken
    size_t lowWord;                      // no bit below this word of freeBits is set
    uint64_t freeBits[NODE_SLOT_WORDS];  // bit i set: slot i is free
};

// Chunks are mapped NODE_MAP_SPAN bytes at a time, at whatever address the kernel picks, so that
// an aligned chunk lies within; the rest of the span goes back at once.
constexpr size_t NODE_MAP_SPAN = 2 * NODE_CHUNK_SIZE;

// The chunk within a span mapped at `start`. REQUIRES: start is page-aligned.
constexpr uintptr_t chunkWithin(uintptr_t start) {
    return (start + NODE_CHUNK_SIZE - 1) & ~uintptr_t(NODE_CHUNK_SIZE - 1);
}

constexpr size_t NODE_SLOT_START = (sizeof(NodeChunk) + CACHE_LINE - 1) / CACHE_LINE * CACHE_LINE;
constexpr size_t NODE_SLOTS = (NODE_CHUNK_SIZE - NODE_SLOT_START) / NODE_SLOT_SIZE;
static_assert(NODE_SLOT_SIZE % CACHE_LINE == 0, "every slot starts a line");
static_assert(NODE_SLOTS <= 64 * NODE_SLOT_WORDS, "the bitmap covers every slot");

class NodeMemory {
  public:
    // `prepare`, if given, is called on every slot of a chunk just mapped.
    constexpr explicit NodeMemory(void (*prepare)(void* slot) = nullptr)
        : prepare(prepare), openChunks(nullptr), emptyChunk(nullptr), mapped(0) {}

    // A free slot, or null when no memory can be mapped.
    inline void* allocate();

    // Gives back a slot. REQUIRES: `slot` came from allocate() of this object and is live.
    inline void release(void* slot);

    // Chunks mapped now, the one kept empty included.
    size_t chunkCount() const { return mapped; }

    static NodeChunk* chunkOf(const void* slot) {
        return reinterpret_cast<NodeChunk*>(reinterpret_cast<uintptr_t>(slot) &
                                            ~(NODE_CHUNK_SIZE - 1));
    }

  private:
    static void* slotAt(NodeChunk* chunk, size_t index) {
        return reinterpret_cast<char*>(chunk) + NODE_SLOT_START + index * NODE_SLOT_SIZE;
    }
    void openChunk(NodeChunk* chunk);
    void closeChunk(NodeChunk* chunk);
    // Maps and opens a new chunk; null when the memory cannot be had. Out of line: it is rare.
    NodeChunk* openNewChunk();
    void unmapChunk(NodeChunk* chunk);

    void (*prepare)(void* slot);
    NodeChunk* openChunks;  // chunks with a free slot, the latest opened first
    NodeChunk* emptyChunk;  // the one empty chunk kept, if any
    size_t mapped;
};

inline void* NodeMemory::allocate() {
    NodeChunk* chunk = openChunks;
    if (!chunk) {
        chunk = openNewChunk();
        if (!chunk) return nullptr;
    }
    // An open chunk has a free slot, at or after lowWord.
    size_t w = chunk->lowWord;
    while (!chunk->freeBits[w]) ++w;
    chunk->lowWord = w;
    uint64_t bits = chunk->freeBits[w];
    void* slot = slotAt(chunk, w * 64 + __builtin_ctzll(bits));
    bits &= bits - 1;
    chunk->freeBits[w] = bits;
    // Slots are taken one per call from Python as a rule, so the next one has the time of a
    // whole call to arrive: start loading it for writing.
    if (bits) {
        const char* next = static_cast<const char*>(slotAt(chunk, w * 64 + __builtin_ctzll(bits)));
        for (size_t line = NODE_SLOT_HOT; line < NODE_SLOT_SIZE; line += CACHE_LINE)
            __builtin_prefetch(next + line, 1);
    }
    if (chunk->used++ == 0 && chunk == emptyChunk) emptyChunk = nullptr;
    if (chunk->used == NODE_SLOTS) closeChunk(chunk);
    return slot;
}

inline void NodeMemory::release(void* slot) {
    NodeChunk* chunk = chunkOf(slot);
    if (chunk->used == NODE_SLOTS) openChunk(chunk);
    size_t index = (static_cast<char*>(slot) - reinterpret_cast<char*>(chunk) - NODE_SLOT_START) /
                   NODE_SLOT_SIZE;
    size_t w = index / 64;
    chunk->freeBits[w] |= uint64_t(1) << (index % 64);
    if (w < chunk->lowWord) chunk->lowWord = w;
    if (--chunk->used > 0) return;
    if (!emptyChunk) {
        emptyChunk = chunk;
        return;
    }
    closeChunk(chunk);
    unmapChunk(chunk);
}

#endif  // TESSART_NODEMEMORY_H
