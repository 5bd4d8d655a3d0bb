// Counting semaphores: anonymous (one process) and named (shared by name).
#ifndef OVX_TOOLS_JSSEMAPHORE_H
#define OVX_TOOLS_JSSEMAPHORE_H

#include <semaphore.h>

#include <memory>
#include <string>

#include "jsbase.h"

namespace ovxToolsLib {

class jsSemaphoreImpl : public jsBase {
public:
    explicit jsSemaphoreImpl(unsigned initialCount);  // throws jsOsException
    ~jsSemaphoreImpl() override;
    sem_t* get() { return &m_semaphore; }

private:
    sem_t m_semaphore;
};

class jsNamedSemaphoreImpl : public jsBase {
public:
    jsNamedSemaphoreImpl(const char* name, unsigned initialCount);  // throws jsOsException
    ~jsNamedSemaphoreImpl() override;
    sem_t* get() { return m_semaphore; }

private:
    sem_t* m_semaphore = nullptr;
};

// wait/tryWait/post return the result codes of jsbase.h.
class jsSemaphore : public jsBase {
public:
    explicit jsSemaphore(unsigned initialCount = 0);
    ~jsSemaphore() override;
    uint32_t wait();
    uint32_t tryWait();
    uint32_t wait(uint32_t timeoutMs);
    uint32_t post();

private:
    std::unique_ptr<jsSemaphoreImpl> m_impl;
};

class jsNamedSemaphore : public jsBase {
public:
    jsNamedSemaphore(const char* name, unsigned initialCount = 0);
    ~jsNamedSemaphore() override;
    uint32_t wait();
    uint32_t tryWait();
    uint32_t wait(uint32_t timeoutMs);
    uint32_t post();

private:
    std::unique_ptr<jsNamedSemaphoreImpl> m_impl;
};

using ovxSemaphore = jsSemaphore;
using ovxNamedSemaphore = jsNamedSemaphore;

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_JSSEMAPHORE_H
