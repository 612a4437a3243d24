// bytes: little-endian numbers in byte buffers, as BGZF, BCF and the index formats store them.
// Header-only; every reader of the join's bytes uses these and no copies of its own.
#ifndef VARFORGE_JOIN_BYTES_H
#define VARFORGE_JOIN_BYTES_H

#include <cstdint>

namespace vfjoin {

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
