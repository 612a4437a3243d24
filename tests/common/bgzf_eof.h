// The 28 bytes of the empty BGZF block that ends every BGZF file.
#pragma once

#include <string>

namespace aftest {

inline const std::string kBgzfEof(
    "\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\x1b\0\x03\0\0\0\0\0\0\0\0\0", 28);

}  // namespace aftest
