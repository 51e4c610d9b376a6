// Whole-word access to fields that the control path and the stream path share without a lock.
//
// The driver takes no lock around the effect state: a 32-bit field or a float is read and
// written whole, and a reader may see an array half updated. These helpers make that
// contract explicit to the compiler (no tearing, no caching of a shared field across a
// buffer) and to ThreadSanitizer, and cost a plain load or store on x86.
#pragma once

#include <stdint.h>

template <typename T>
inline T LoadShared(const T& field) {
    T value;
    __atomic_load(&field, &value, __ATOMIC_RELAXED);
    return value;
}

template <typename T>
struct SharedValue {
    using Type = T;
};

// The value's type follows the field's, so a literal needs no cast to match it.
template <typename T>
inline void StoreShared(T& field, typename SharedValue<T>::Type value) {
    __atomic_store(&field, &value, __ATOMIC_RELAXED);
}

// Ordered hand-over words (the sound-field busy flag and its user count). Sequentially
// consistent, because each side writes its own word and then reads the other's.
inline uint32_t LoadOrdered(const uint32_t& field) {
    return __atomic_load_n(&field, __ATOMIC_SEQ_CST);
}
inline void StoreOrdered(uint32_t& field, uint32_t value) {
    __atomic_store_n(&field, value, __ATOMIC_SEQ_CST);
}
inline uint32_t InterlockedAdd32(uint32_t& field, uint32_t delta) {
    return __atomic_add_fetch(&field, delta, __ATOMIC_SEQ_CST);
}
inline uint32_t InterlockedSub32(uint32_t& field, uint32_t delta) {
    return __atomic_sub_fetch(&field, delta, __ATOMIC_SEQ_CST);
}
inline bool CompareExchange32(uint32_t& field, uint32_t expected, uint32_t desired) {
    return __atomic_compare_exchange_n(&field, &expected, desired, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}
