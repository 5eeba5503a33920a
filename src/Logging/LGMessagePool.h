#pragma once
// Memory for log messages. A message is made on the calling thread and freed
// on a sink's thread; through the general allocator every such pair meets on
// one arena lock. Here each thread keeps a small cache of fixed-size blocks,
// and blocks travel between threads in lists of kBatch under one short lock.

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace lg_detail {

template <std::size_t Size>
class BlockPool {
  public:
    static constexpr std::size_t kBatch = 64;
    static constexpr std::size_t kMaxSpareLists = 64;

    static void* allocate() {
        Cache& c = cache();
        if (c.gone) return ::operator new(kBlockSize);
        if (!c.allocHead) {
            std::lock_guard lk(shared().m);
            if (!shared().lists.empty()) {
                c.allocHead = shared().lists.back();
                shared().lists.pop_back();
            }
        }
        if (Block* b = c.allocHead) {
            c.allocHead = b->next;
            return b;
        }
        return ::operator new(kBlockSize);
    }

    static void deallocate(void* p) {
        Cache& c = cache();
        if (c.gone) {
            ::operator delete(p);
            return;
        }
        Block* b = static_cast<Block*>(p);
        b->next = c.freeHead;
        c.freeHead = b;
        if (++c.freeCount < kBatch) return;
        Block* list = c.freeHead;
        c.freeHead = nullptr;
        c.freeCount = 0;
        {
            std::lock_guard lk(shared().m);
            if (shared().lists.size() < kMaxSpareLists) {
                shared().lists.push_back(list);
                return;
            }
        }
        while (list) {
            Block* next = list->next;
            ::operator delete(list);
            list = next;
        }
    }

  private:
    struct Block {
        Block* next;
    };
    static constexpr std::size_t kBlockSize = Size < sizeof(Block) ? sizeof(Block) : Size;
    struct Cache {
        Block* allocHead = nullptr;
        Block* freeHead = nullptr;
        std::size_t freeCount = 0;
        bool gone = false;
        // A thread that ends gives its blocks back to the system; anything it
        // frees after this goes straight there too.
        ~Cache() {
            for (Block* list : {allocHead, freeHead})
                while (list) {
                    Block* next = list->next;
                    ::operator delete(list);
                    list = next;
                }
            allocHead = freeHead = nullptr;
            gone = true;
        }
    };
    struct Shared {
        std::mutex m;
        std::vector<Block*> lists;
    };
    static Cache& cache() {
        thread_local Cache c;
        return c;
    }
    static Shared& shared() {
        static auto* s = new Shared;
        return *s;
    }
};

// Allocator for std::allocate_shared that draws single objects from the pool.
template <class T>
struct PoolAllocator {
    using value_type = T;
    PoolAllocator() = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (n != 1 || alignof(T) > alignof(std::max_align_t))
            return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(BlockPool<sizeof(T)>::allocate());
    }
    void deallocate(T* p, std::size_t n) {
        if (n != 1 || alignof(T) > alignof(std::max_align_t))
            ::operator delete(p);
        else
            BlockPool<sizeof(T)>::deallocate(p);
    }
    template <class U>
    bool operator==(const PoolAllocator<U>&) const {
        return true;
    }
};

}  // namespace lg_detail
