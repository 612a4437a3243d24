#include "part_plan.h"

#include <algorithm>
#include <cmath>

namespace vfjoin {

PartPlanner::PartPlanner(const PartLimits &limits, int64_t expected_total)
    : l_(limits), store_min_(limits.min_part) {
    // Every part but the last holds at least min_part bytes, so an output of E bytes (with
    // room for a 2% miss in the estimate) takes at most max_parts parts.
    if (expected_total > 0 && l_.max_parts > 1) {
        const long double need =
            std::ceil(static_cast<long double>(expected_total) * 1.02L / (l_.max_parts - 1));
        paced_total_ = static_cast<long double>(expected_total) * 1.02L;
        if (need > static_cast<long double>(l_.min_part))
            l_.min_part = need >= static_cast<long double>(INT64_MAX / 4)
                              ? INT64_MAX / 4
                              : static_cast<int64_t>(need);
    }
    l_.upload_max = std::max(l_.upload_max, 2 * l_.min_part);
    l_.upload_max = std::min(l_.upload_max, l_.max_part);
}

bool PartPlanner::fail(const std::string &reason, std::string *why) {
    failed_ = true;
    why_ = reason;
    if (why) *why = reason;
    return false;
}

bool PartPlanner::next_number(std::string *why) {
    if (number_ >= l_.max_parts)
        return fail("the output needs more than " + std::to_string(l_.max_parts) + " parts", why);
    number_++;
    return true;
}

// Sends the pending run's first `len` bytes as an uploaded part.
bool PartPlanner::emit_upload(int64_t len, std::vector<PlannedPart> *ready, std::string *why) {
    if (!next_number(why)) return false;
    ready->push_back({number_, out_ - pending_, len, false});
    pending_ -= len;
    return true;
}

// Copies the input's bytes [src_offset, src_offset+len), which end the output so far, in
// near-equal parts of at most max_part; each stays >= min_part since max_part >= 2 * min_part.
bool PartPlanner::emit_copies(int source, int64_t src_offset, int64_t len,
                              std::vector<PlannedPart> *ready, std::string *why) {
    const int64_t n = (len + l_.max_part - 1) / l_.max_part;
    const int64_t base = len / n, longer = len % n;
    int64_t at = out_ - len;
    for (int64_t i = 0; i < n; i++) {
        const int64_t size = base + (i < longer ? 1 : 0);
        if (!next_number(why)) return false;
        ready->push_back({number_, at, size, true, source, src_offset});
        at += size;
        src_offset += size;
    }
    return true;
}

// Whether a copyable range of `len` bytes, under the raised min_part, may still be copied: the
// parts planned up to its end (the pending run sent before it, and its copy) stay within the
// pace of max_parts - 2 parts over the expected total. The parts after it are then at least
// the raised min_part but the last, so all of them still fit max_parts.
bool PartPlanner::paced_copy_fits(int64_t len) const {
    if (paced_total_ <= 0 || len < store_min_ || l_.max_parts < 3) return false;
    const long double pace =
        static_cast<long double>(out_ + len) * (l_.max_parts - 2) / paced_total_;
    return number_ + (pending_ > 0 ? 2 : 1) <= pace;
}

bool PartPlanner::add(const Piece &p, std::vector<PlannedPart> *ready, std::string *why) {
    if (failed_) {
        if (why) *why = why_;
        return false;
    }
    if (l_.min_part < 1 || l_.max_parts < 1 || 2 * l_.min_part > l_.max_part)
        return fail("no parts of " + std::to_string(l_.min_part) + " to " +
                        std::to_string(l_.max_part) + " bytes can hold the output",
                    why);
    if (p.len < 0 || (p.kind == Piece::kRange && p.offset < 0))
        return fail("a piece of negative length or offset", why);
    if (p.len > INT64_MAX - out_) return fail("the output is too large", why);
    if (p.len == 0) return true;
    const bool copyable = p.kind == Piece::kRange && p.copyable;
    int64_t min = l_.min_part;
    if (copyable && p.len < min && paced_copy_fits(p.len)) min = store_min_;
    if (copyable && p.len >= min) {
        int64_t skip = 0;  // the range's head that goes into an uploaded part
        if (pending_ > 0 && pending_ < min) {
            const int64_t borrow = min - pending_;
            if (p.len - borrow >= min) {
                skip = borrow;
                out_ += borrow;
                pending_ += borrow;
                if (!emit_upload(min, ready, why)) return false;
            } else {
                skip = p.len;
            }
        } else if (pending_ >= min) {
            if (!emit_upload(pending_, ready, why)) return false;
        }
        if (skip < p.len) {
            out_ += p.len - skip;
            return emit_copies(p.source, p.offset + skip, p.len - skip, ready, why);
        }
        out_ += p.len;  // nothing borrowed: the whole range joins the run
        pending_ += p.len;
    } else {
        out_ += p.len;
        pending_ += p.len;
    }
    while (pending_ >= l_.upload_max)
        if (!emit_upload(l_.upload_max, ready, why)) return false;
    return true;
}

bool PartPlanner::finish(std::vector<PlannedPart> *ready, std::string *why) {
    if (failed_) {
        if (why) *why = why_;
        return false;
    }
    if (pending_ > 0 || number_ == 0) return emit_upload(pending_, ready, why);
    return true;
}

std::vector<PlannedPart> plan_parts(const std::vector<Piece> &pieces, const PartLimits &l,
                                    int64_t expected_total, std::string *why) {
    PartPlanner planner(l, expected_total);
    std::vector<PlannedPart> parts;
    for (const Piece &p : pieces)
        if (!planner.add(p, &parts, why)) return {};
    if (!planner.finish(&parts, why)) return {};
    return parts;
}

}  // namespace vfjoin
