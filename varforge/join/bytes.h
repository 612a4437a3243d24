// bytes: little-endian numbers in byte buffers, as BGZF, BCF and the index formats store them,
// and a buffer for bytes about to be read into. Header-only; every reader of the join's bytes
// uses these and no copies of its own.
#ifndef VARFORGE_JOIN_BYTES_H
#define VARFORGE_JOIN_BYTES_H

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vfjoin {

// An allocator whose value-less construct() leaves the bytes as they are, so that a buffer
// sized for a read is not first filled with zeros (which, for fresh memory, also costs a
// page fault per page before the read's own).
template <typename T>
struct UninitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U> &) noexcept {}
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U *p, A &&...a) {
        ::new (static_cast<void *>(p)) U(std::forward<A>(a)...);
    }
};

// Bytes read from an input: resize() before a read leaves the new bytes undefined.
using ReadBuffer = std::vector<unsigned char, UninitAllocator<unsigned char>>;

inline uint32_t le16(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
inline uint32_t le32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t le64(const unsigned char *p) {
    return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32;
}
inline void put16(unsigned char *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
inline void put64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace vfjoin

#endif
