// Pileup feeder: htslib's pileup engine driven in push mode, with every completed
// column handed to the caller's function as soon as it is complete.
#include "plp_feeder.h"

#include <cstdlib>

extern "C" plp_feeder_t *plp_feeder_init(bam_pileup_f func, void *data) {
    plp_feeder_t *buf = static_cast<plp_feeder_t *>(calloc(1, sizeof(plp_feeder_t)));
    if (!buf) return nullptr;
    // No reader function: records arrive through bam_plp_push().
    buf->iter = bam_plp_init(nullptr, nullptr);
    if (!buf->iter) {
        free(buf);
        return nullptr;
    }
    buf->func = func;
    buf->data = data;
    return buf;
}

extern "C" int plp_feeder_push(const bam1_t *b, plp_feeder_t *buf) {
    int r = bam_plp_push(buf->iter, b);
    if (r < 0) return r;
    int tid = 0, pos = 0, n = 0;
    const bam_pileup1_t *pl;
    while ((pl = bam_plp_next(buf->iter, &tid, &pos, &n)) != nullptr)
        buf->func(static_cast<uint32_t>(tid), static_cast<uint32_t>(pos), n, pl, buf->data);
    // The engine ends a column run with no array and a negative count when it fails
    // (a position it cannot report, memory); that must not read as success.
    return n < 0 ? -1 : 0;
}

extern "C" void plp_feeder_reset(plp_feeder_t *buf) {
    bam_plp_reset(buf->iter);
}

extern "C" void plp_feeder_destroy(plp_feeder_t *buf) {
    if (!buf) return;
    bam_plp_destroy(buf->iter);
    free(buf);
}
