// The rare paths of NodeMemory: mapping, opening, closing and unmapping chunks.

#include "NodeMemory.h"

#include <sys/mman.h>

namespace {

// A new chunk with every slot free, or null when the memory cannot be had.
NodeChunk* mapChunk() {
    size_t span = NODE_MAP_SPAN;
    void* area = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(area);
    uintptr_t aligned = chunkWithin(start);
    if (aligned > start) munmap(area, aligned - start);
    if (aligned + NODE_CHUNK_SIZE < start + span)
        munmap(reinterpret_cast<void*>(aligned + NODE_CHUNK_SIZE),
               start + span - aligned - NODE_CHUNK_SIZE);
    void* base = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    (void)madvise(base, NODE_CHUNK_SIZE, MADV_HUGEPAGE);  // a hint; without it, small pages
#endif
    NodeChunk* chunk = static_cast<NodeChunk*>(base);
    chunk->used = 0;
    chunk->lowWord = 0;
    for (size_t w = 0; w < NODE_SLOT_WORDS; ++w) {
        size_t first = w * 64;
        chunk->freeBits[w] = first + 64 <= NODE_SLOTS ? ~uint64_t(0)
                             : first < NODE_SLOTS     ? (uint64_t(1) << (NODE_SLOTS - first)) - 1
                                                      : 0;
    }
    return chunk;
}

}  // namespace

void NodeMemory::openChunk(NodeChunk* chunk) {
    chunk->prev = nullptr;
    chunk->next = openChunks;
    if (openChunks) openChunks->prev = chunk;
    openChunks = chunk;
}

void NodeMemory::closeChunk(NodeChunk* chunk) {
    if (chunk->prev)
        chunk->prev->next = chunk->next;
    else
        openChunks = chunk->next;
    if (chunk->next) chunk->next->prev = chunk->prev;
}

NodeChunk* NodeMemory::openNewChunk() {
    NodeChunk* chunk = mapChunk();
    if (!chunk) return nullptr;
    if (prepare)
        for (size_t i = 0; i < NODE_SLOTS; ++i) prepare(slotAt(chunk, i));
    ++mapped;
    openChunk(chunk);
    return chunk;
}

void NodeMemory::unmapChunk(NodeChunk* chunk) {
    munmap(chunk, NODE_CHUNK_SIZE);
    --mapped;
}
