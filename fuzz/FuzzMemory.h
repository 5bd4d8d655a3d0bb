// Xerces' memory for the fuzzers. Every parse builds a reader whose buffers
// are a few hundred kilobytes; under AddressSanitizer each such block is a
// fresh mapping that is unmapped again, and that costs more than the parse.
// Keeping large blocks for reuse makes an execution several times faster.
// Small blocks still go through the sanitizer's allocator untouched, and a
// kept block is handed out only for a request of exactly its size, so an
// overrun still reaches the redzone behind it.
#ifndef OVX_FUZZ_FUZZMEMORY_H
#define OVX_FUZZ_FUZZMEMORY_H

#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace ovxFuzz {

class CBlockReuse : public xercesc::MemoryManager {
public:
    CBlockReuse() = default;
    CBlockReuse(const CBlockReuse&) = delete;
    CBlockReuse& operator=(const CBlockReuse&) = delete;
    // What is kept is ours, not a leak of the code under test.
    ~CBlockReuse() override {
        for (auto& [size, blocks] : m_kept) {
            for (void* block : blocks) std::free(block);
        }
    }
    xercesc::MemoryManager* getExceptionMemoryManager() override { return this; }
    void* allocate(XMLSize_t size) override {
        const size_t total = size + kHeader;
        if (total >= kLarge) {
            std::lock_guard<std::mutex> hold(m_lock);
            auto found = m_kept.find(total);
            if (found != m_kept.end() && !found->second.empty()) {
                void* block = found->second.back();
                found->second.pop_back();
                m_keptBytes -= total;
                return static_cast<char*>(block) + kHeader;
            }
        }
        void* block = std::malloc(total);
        if (block == nullptr) throw xercesc::OutOfMemoryException();
        *static_cast<size_t*>(block) = total;
        return static_cast<char*>(block) + kHeader;
    }
    void deallocate(void* p) override {
        if (p == nullptr) return;
        void* block = static_cast<char*>(p) - kHeader;
        const size_t total = *static_cast<size_t*>(block);
        if (total >= kLarge) {
            std::lock_guard<std::mutex> hold(m_lock);
            std::vector<void*>& kept = m_kept[total];
            // Growing buffers come in many sizes; a bound keeps the cache
            // from becoming the process's largest user of memory.
            if (kept.size() < kKeptPerSize && m_keptBytes + total <= kKeptBytes) {
                kept.push_back(block);
                m_keptBytes += total;
                return;
            }
        }
        std::free(block);
    }

private:
    static constexpr size_t kHeader = 16;  // keeps what follows 16-byte aligned
    static constexpr size_t kLarge = 32 * 1024;
    static constexpr size_t kKeptPerSize = 8;
    static constexpr size_t kKeptBytes = 32u << 20;
    std::mutex m_lock;
    size_t m_keptBytes = 0;
    std::map<size_t, std::vector<void*>> m_kept;
};

// Xerces takes its memory manager from the first Initialize of the process,
// so this one runs before every other static initializer.
struct CInstallBlockReuse {
    CInstallBlockReuse() {
        xercesc::XMLPlatformUtils::Initialize(xercesc::XMLUni::fgXercescDefaultLocale, nullptr, nullptr, &manager);
    }
    CBlockReuse manager;
};
// Included by one file per fuzzer. Never terminated: the parser's own users
// hold the platform until the process ends.
__attribute__((init_priority(101))) static CInstallBlockReuse g_installBlockReuse;

}  // namespace ovxFuzz

#endif  // OVX_FUZZ_FUZZMEMORY_H
