// Fuzz target: the readers of a remote server's answers on arbitrary bytes: an object store's
// XML (join/s3_xml.h) and the Content-Range of a request for an object's last bytes
// (join/source.h). Whatever the bytes, they must end without a crash or a read out of bounds,
// and what they give must hang together: every element found under a node comes after it and
// bears the name asked for, and every child names its parent's element as an ancestor through
// find(); a range taken as an object's last 28 bytes gives a size of at least 28.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "join/s3_xml.h"
#include "join/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    int64_t object_size = -1;
    if (vfjoin::is_last_bytes(std::string(text), 28, &object_size) && object_size < 28)
        std::abort();
    const vfjoin::XmlDoc doc(text);
    const int root = doc.root();
    if (root < 0) return 0;
    for (const char *name : {"UploadId", "ETag", "Code", "Message", "IsTruncated"}) {
        const int n = doc.find(root, name);
        if (n >= 0 && (n <= root || doc.name(n) != name)) std::abort();
        (void)doc.field(name);
    }
    for (int u : doc.children(root, "Upload")) {
        if (u <= root || doc.name(u) != "Upload") std::abort();
        const int k = doc.find(u, "Key");
        if (k >= 0 && (k <= u || doc.text(k).size() > size)) std::abort();
    }
    return 0;
}
