// An allocator for the nodes of the queue's maps, sets and hash tables.
//
// Every enqueue takes about a dozen nodes and every dequeue gives them back. Served by the
// general-purpose heap, that churn costs more than the work it serves, and a large allocation in
// between (a hash table growing) makes the heap sort all its small free blocks again. Here a node
// comes from a free list per node size and goes back to it: a few instructions either way, and
// the node given back last, still in the cache, is the next one taken.
//
// Nodes are carved from blocks taken from operator new, so an exhausted memory still raises
// std::bad_alloc where a node is needed. A size's blocks are released when its last node comes
// back, so nothing stays allocated once every queue is gone. Arrays (hash buckets, vectors) go
// to operator new as usual.
//
// The lists are process-wide and unlocked: the module runs only on the interpreter's thread.
#pragma once

#include <cstddef>
#include <new>

namespace nodepool {

// Under AddressSanitizer every node goes to operator new and back, so that the sanitizer sees
// each one freed and catches a node used after its container let it go.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool POOLED = false;
#else
constexpr bool POOLED = true;
#endif

// The free list of one node size.
template <size_t Size>
class FreeList {
    union Slot {
        Slot* next;
        alignas(alignof(std::max_align_t)) unsigned char bytes[Size];
    };
    // A block is an array of slots: the first links to the previous block, the others are
    // handed out.
    static constexpr size_t SLOTS_PER_BLOCK = Size <= 64 ? 256 : 128;

    static inline Slot* _free = nullptr;
    static inline Slot* _blocks = nullptr;
    static inline size_t _unused = 0;  // slots of the newest block never handed out yet
    static inline size_t _taken = 0;   // nodes handed out and not given back

  public:
    static void* take() {
        Slot* slot = _free;
        if (slot != nullptr) {
            _free = slot->next;
        } else {
            if (_unused == 0) {
                // Slots are handed out from a new block one by one, never threaded all at once,
                // so a queue that fills and empties again and again pays little for its blocks.
                Slot* block =
                    static_cast<Slot*>(::operator new((SLOTS_PER_BLOCK + 1) * sizeof(Slot)));
                block->next = _blocks;
                _blocks = block;
                _unused = SLOTS_PER_BLOCK;
            }
            slot = _blocks + 1 + (SLOTS_PER_BLOCK - _unused--);
        }
        ++_taken;
        return slot;
    }

    static void give(void* node) noexcept {
        Slot* slot = static_cast<Slot*>(node);
        slot->next = _free;
        _free = slot;
        if (--_taken == 0) {
            // Every node is back: release the blocks, so that nothing outlives the queues.
            while (_blocks != nullptr) {
                Slot* previous = _blocks->next;
                ::operator delete(_blocks);
                _blocks = previous;
            }
            _free = nullptr;
            _unused = 0;
        }
    }
};

// Sizes rounded up to 16 bytes, so that node types of about the same size share one list.
constexpr size_t roundedSize(size_t size) {
    return (size + 15) / 16 * 16;
}

template <class T>
struct Allocator {
    using value_type = T;
    static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned node");

    Allocator() = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (POOLED && n == 1) return static_cast<T*>(FreeList<roundedSize(sizeof(T))>::take());
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept {
        if (POOLED && n == 1) {
            FreeList<roundedSize(sizeof(T))>::give(p);
        } else {
            ::operator delete(p);
        }
    }

    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const Allocator<U>&) const noexcept {
        return false;
    }
};

}  // namespace nodepool
