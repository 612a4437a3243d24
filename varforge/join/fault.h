// fault: how the join's steps report failure; see join.h for the convention.
#ifndef VARFORGE_JOIN_FAULT_H
#define VARFORGE_JOIN_FAULT_H

#include <string>

namespace vfjoin {

struct Fault {
    std::string file;      // the file to name
    std::string why;       // what went wrong, in a few words
    bool writing = false;  // a write to the output failed

    // Records the fault; returns false, for `return fault->set(...)`.
    bool set(std::string f, std::string w, bool write = false) {
        file = std::move(f);
        why = std::move(w);
        writing = write;
        return false;
    }
    bool empty() const { return why.empty(); }
};

// Prints `f` as the join's one message line on standard error; returns false.
bool print_fault(const Fault &f);

}  // namespace vfjoin

#endif
