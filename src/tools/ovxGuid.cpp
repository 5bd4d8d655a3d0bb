#include "ovxGuid.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "jsthread.h"
#include "xsnprintf.h"
#include "ovxForkHold.h"

namespace ovxToolsLib {

namespace {

// Process-wide generator state, changed only under g_stateMutex.
std::mutex g_stateMutex;
const ovxForkHold g_stateForkHold(g_stateMutex, ovxForkRank::kLeaf);
bool g_nodeReady = false;
uint8_t g_node[6];
bool g_clockReady = false;
uint16_t g_clockSequence = 0;
struct timeval g_lastTime = {0, 0};
uint32_t g_adjustment = 0;
uint16_t g_creationCounter = 0;
bool g_seeded = false;
unsigned int g_seed = 0;

constexpr uint64_t kGregorianOffset = 0x01B21DD213814000ULL;

// Caller holds g_stateMutex.
void Seed() {
    if (g_seeded) return;
    struct timeval now;
    gettimeofday(&now, nullptr);
    g_seed = static_cast<unsigned>(getuid()) ^ static_cast<unsigned>(now.tv_sec) ^
             (static_cast<unsigned>(getpid()) << 16) ^ static_cast<unsigned>(now.tv_usec);
    g_seeded = true;
}

// Caller holds g_stateMutex.
void Stir() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    int rounds = static_cast<int>((now.tv_sec ^ now.tv_usec) & 31);
    for (int i = 0; i < rounds; ++i) rand_r(&g_seed);
}

int OpenRandomSource() {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) fd = open("/dev/random", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

// Caller holds g_stateMutex.
void RandomBytes(int& descriptor, uint8_t* buffer, size_t size) {
    if (descriptor == 0) descriptor = OpenRandomSource();
    size_t have = 0;
    if (descriptor > 0) {
        int emptyReads = 0;
        while (have < size && emptyReads < 18) {
            ssize_t got = read(descriptor, buffer + have, size - have);
            if (got <= 0) {
                ++emptyReads;
                continue;
            }
            emptyReads = 0;
            have += static_cast<size_t>(got);
        }
    }
    Seed();
    Stir();
    for (; have < size; ++have) buffer[have] = static_cast<uint8_t>(rand_r(&g_seed) >> 7);
}

}  // namespace

COVXUXGuid::COVXUXGuid() {
    std::lock_guard<std::mutex> hold(g_stateMutex);
    m_creationNumber = g_creationCounter++;
}

COVXUXGuid::~COVXUXGuid() {
    if (m_randomSource > 0) close(m_randomSource);
}

int COVXUXGuid::generate() {
    uint64_t stamp;
    uint16_t clockSequence;
    uint8_t node[6];
    {
        std::lock_guard<std::mutex> hold(g_stateMutex);
        ++m_count;
        if (!g_nodeReady) {
            RandomBytes(m_randomSource, g_node, sizeof g_node);
            g_node[0] |= 0x80;
            g_nodeReady = true;
        }
        struct timeval now;
        gettimeofday(&now, nullptr);
        if (!g_clockReady) {
            uint8_t random[2];
            RandomBytes(m_randomSource, random, sizeof random);
            g_clockSequence = static_cast<uint16_t>(((random[0] << 8) | random[1]) & 0x1FFF);
            g_clockReady = true;
        }
        ++g_adjustment;
        if (timercmp(&now, &g_lastTime, <)) {
            g_clockSequence = static_cast<uint16_t>((g_clockSequence + 1) % 0x2000);
            g_adjustment = 0;
        } else if (timercmp(&now, &g_lastTime, ==)) {
            g_clockSequence = static_cast<uint16_t>((g_clockSequence + 1) % 0x2000);
        } else {
            g_lastTime = now;
        }
        if (g_adjustment >= 1000) g_adjustment = 0;
        stamp = static_cast<uint64_t>(now.tv_sec) * 10000000ULL + static_cast<uint64_t>(now.tv_usec) * 10ULL +
                g_adjustment + kGregorianOffset;
        clockSequence = g_clockSequence;
        memcpy(node, g_node, sizeof node);
    }
    (void)clockSequence;  // kept in the state; the text carries the count and the thread instead
    uint32_t timeLow = static_cast<uint32_t>(stamp & 0xFFFFFFFFu);
    uint16_t timeMid = static_cast<uint16_t>((stamp >> 32) & 0xFFFFu);
    uint16_t timeHigh = static_cast<uint16_t>(((stamp >> 48) & 0xFFu) | 0x1000u);
    unsigned threadLow = static_cast<unsigned>(jsThread::currentThreadId() & 0xFFFFu);
    int written = xsnprintf(m_text, sizeof m_text, "%08x-%04x-%04x-%04x-%04x%02x%02x%02x%02x", timeLow, timeMid,
                            timeHigh, m_count, threadLow, node[2], node[3], node[4], node[5]);
    if (written != 36) return -5;
    return 0;
}

COVXGuid* ovxGuidCreate() { return new COVXUXGuid(); }
int ovxGuidGenerate(COVXGuid* guid) { return guid ? guid->generate() : -1; }
const char* ovxGuidText(const COVXGuid* guid) { return guid ? guid->text() : ""; }
void ovxGuidDelete(COVXGuid* guid) { delete guid; }

std::string ovxNewGuidText() {
    // One generator per thread: the fourth group counts that thread's identifiers.
    thread_local COVXUXGuid generator;
    return generator.generate() == 0 ? std::string(generator.text()) : std::string();
}

}  // namespace ovxToolsLib
