// hts_quiet: htslib's messages off while a join step asks htslib something (a header parsed,
// an index read or built); the step reports what went wrong itself, naming the file.
//
// htslib's message level is one process-wide value. `varforge cat` turns it off once, before
// it starts any thread (cat_command), and keeps it off: a QuietHtslib made then writes
// nothing, so steps in several threads never write it at once. A caller that has not turned it
// off (a test, a fuzz target) gets it off for the object's life and restored after, and must
// not use htslib from another thread meanwhile.
#ifndef VARFORGE_JOIN_HTS_QUIET_H
#define VARFORGE_JOIN_HTS_QUIET_H

#include <htslib/hts_log.h>

namespace vfjoin {

class QuietHtslib {
   public:
    QuietHtslib() : level_(hts_get_log_level()) {
        if (level_ != HTS_LOG_OFF) hts_set_log_level(HTS_LOG_OFF);
    }
    ~QuietHtslib() {
        if (level_ != HTS_LOG_OFF) hts_set_log_level(level_);
    }
    QuietHtslib(const QuietHtslib &) = delete;
    QuietHtslib &operator=(const QuietHtslib &) = delete;

   private:
    htsLogLevel level_;
};

}  // namespace vfjoin

#endif
