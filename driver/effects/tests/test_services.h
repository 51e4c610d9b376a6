// Set-up services for engine tests: heap memory that can be told to fail, a count of the
// blocks still held, and a 1 ms sleep that is counted (and optionally really taken).
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "effect_state.h"

class TestServices {
  public:
    TestServices() {
        services.Allocate = &TestServices::Allocate;
        services.Free = &TestServices::Free;
        services.SleepOneMillisecond = &TestServices::Sleep;
        services.Context = this;
    }
    TestServices(const TestServices&) = delete;
    TestServices& operator=(const TestServices&) = delete;

    EffectServices services;
    int failAllocationNumber = 0;  // the n-th allocation from now on fails (1-based; 0: none)
    bool realSleep = false;
    std::atomic<int> allocations{0};
    std::atomic<int> blocksHeld{0};
    std::atomic<int> sleeps{0};

  private:
    static void* Allocate(void* context, size_t bytes) {
        auto* self = static_cast<TestServices*>(context);
        const int number = ++self->allocations;
        if (number == self->failAllocationNumber)
            return nullptr;
        void* block = std::malloc(bytes);
        if (block != nullptr)
            ++self->blocksHeld;
        return block;
    }
    static void Free(void* context, void* block) {
        --static_cast<TestServices*>(context)->blocksHeld;
        std::free(block);
    }
    static void Sleep(void* context) {
        auto* self = static_cast<TestServices*>(context);
        ++self->sleeps;
        if (self->realSleep)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};
