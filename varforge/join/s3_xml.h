// s3_xml: the few elements of an object store's XML answers that the S3 client reads (an
// upload's id, a part's ETag, an error's Code and Message, the uploads in progress).
//
// The reader takes any bytes: it never reads outside the text it is given, never recurses,
// and holds at most one node per tag it meets. It is lenient rather than validating: tags
// that do not close are closed at the end, a stray closing tag is ignored, and namespace
// prefixes are dropped, so that what a store means can still be read from a slightly odd
// answer. Text is returned with the five named entities and numeric character references
// decoded (as UTF-8); CDATA sections are taken as they are.
#ifndef VARFORGE_JOIN_S3_XML_H
#define VARFORGE_JOIN_S3_XML_H

#include <string>
#include <string_view>
#include <vector>

namespace vfjoin {

class XmlDoc {
   public:
    // Reads `text`; never fails (no nodes for text without tags).
    explicit XmlDoc(std::string_view text);

    // The index of the root element (the first element at the top), or -1 if none.
    int root() const { return nodes_.empty() ? -1 : 0; }
    // The local name (namespace prefix dropped) of `node`.
    const std::string &name(int node) const { return nodes_[node].name; }
    // The decoded text directly inside `node` (the text of its children not included).
    const std::string &text(int node) const { return nodes_[node].text; }
    // The first element named `name` at any depth under `node` (not `node` itself) in
    // document order, or -1.
    int find(int node, std::string_view name) const;
    // The children of `node` named `name`, in order.
    std::vector<int> children(int node, std::string_view name) const;
    // The text of the first element `name` under the root, "" when absent.
    std::string field(std::string_view name) const;

   private:
    struct Node {
        std::string name, text;
        int parent = -1;
        std::vector<int> kids;
    };
    std::vector<Node> nodes_;
};

}  // namespace vfjoin

#endif
