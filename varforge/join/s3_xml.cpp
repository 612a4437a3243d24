// s3_xml: see s3_xml.h.
#include "s3_xml.h"

#include <cstdint>

namespace vfjoin {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void put_utf8(uint32_t c, std::string *out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xc0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xe0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else {
        out->push_back(static_cast<char>(0xf0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
}

// The character that the reference `ref` (what lies between '&' and ';') stands for, as
// UTF-8 into `out`; false when it is none that is known, so that the text is kept as it is.
bool decode_ref(std::string_view ref, std::string *out) {
    static constexpr struct {
        const char *name;
        char c;
    } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto &n : kNamed)
        if (ref == n.name) {
            out->push_back(n.c);
            return true;
        }
    if (ref.size() < 2 || ref[0] != '#') return false;
    const bool hex = ref[1] == 'x' || ref[1] == 'X';
    std::string_view digits = ref.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t c = 0;
    for (char d : digits) {
        int v;
        if (d >= '0' && d <= '9')
            v = d - '0';
        else if (hex && d >= 'a' && d <= 'f')
            v = d - 'a' + 10;
        else if (hex && d >= 'A' && d <= 'F')
            v = d - 'A' + 10;
        else
            return false;
        c = c * (hex ? 16 : 10) + static_cast<uint32_t>(v);
    }
    if (c == 0 || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return false;
    put_utf8(c, out);
    return true;
}

void append_text(std::string_view raw, std::string *out) {
    size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] == '&') {
            // A reference is short; a longer run without ';' is plain text.
            const size_t semi = raw.find(';', i + 1);
            if (semi != std::string_view::npos && semi - i <= 12 &&
                decode_ref(raw.substr(i + 1, semi - i - 1), out)) {
                i = semi + 1;
                continue;
            }
        }
        out->push_back(raw[i++]);
    }
}

std::string_view local_name(std::string_view n) {
    const size_t colon = n.rfind(':');
    return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

// The end of the tag that starts at `i` (the index just past its '>'), skipping quoted
// attribute values; the text's size when it does not end.
size_t tag_end(std::string_view s, size_t i) {
    char quote = 0;
    for (; i < s.size(); i++) {
        if (quote) {
            if (s[i] == quote) quote = 0;
        } else if (s[i] == '"' || s[i] == '\'') {
            quote = s[i];
        } else if (s[i] == '>') {
            return i + 1;
        }
    }
    return s.size();
}

size_t skip_past(std::string_view s, size_t i, std::string_view end) {
    const size_t at = s.find(end, i);
    return at == std::string_view::npos ? s.size() : at + end.size();
}

}  // namespace

XmlDoc::XmlDoc(std::string_view s) {
    std::vector<int> open;  // the elements not yet closed, innermost last
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] != '<') {
            size_t lt = s.find('<', i);
            if (lt == std::string_view::npos) lt = s.size();
            if (!open.empty()) append_text(s.substr(i, lt - i), &nodes_[open.back()].text);
            i = lt;
            continue;
        }
        const std::string_view rest = s.substr(i);
        if (rest.starts_with("<!--")) {
            i = skip_past(s, i + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            const size_t from = i + 9;
            size_t end = s.find("]]>", from);
            if (end == std::string_view::npos) end = s.size();
            if (!open.empty()) nodes_[open.back()].text.append(s.substr(from, end - from));
            i = end == s.size() ? end : end + 3;
        } else if (rest.starts_with("<?") || rest.starts_with("<!")) {
            i = tag_end(s, i + 2);
        } else {
            const bool closing = rest.starts_with("</");
            size_t n = i + (closing ? 2 : 1), name_end = n;
            while (name_end < s.size() && !is_space(s[name_end]) && s[name_end] != '>' &&
                   s[name_end] != '/')
                name_end++;
            const std::string_view name = local_name(s.substr(n, name_end - n));
            const size_t end = tag_end(s, name_end);
            const bool empty = !closing && end > name_end && s[end - 1] == '>' && s[end - 2] == '/';
            i = end;
            if (name.empty()) continue;
            if (closing) {
                // Close up to the innermost open element of that name; ignore it if none.
                for (size_t k = open.size(); k-- > 0;)
                    if (nodes_[open[k]].name == name) {
                        open.resize(k);
                        break;
                    }
                continue;
            }
            Node node;
            node.name.assign(name);
            node.parent = open.empty() ? -1 : open.back();
            const int id = static_cast<int>(nodes_.size());
            if (node.parent >= 0) nodes_[node.parent].kids.push_back(id);
            nodes_.push_back(std::move(node));
            if (!empty) open.push_back(id);
        }
    }
}

int XmlDoc::find(int node, std::string_view name) const {
    if (node < 0 || node >= static_cast<int>(nodes_.size())) return -1;
    // Elements are numbered in document order, so a node's descendants follow it until the
    // first node whose chain of parents does not pass through it.
    for (int j = node + 1; j < static_cast<int>(nodes_.size()); j++) {
        int p = nodes_[j].parent;
        if (p < node) break;  // a parent before `node` is none of its descendants
        if (nodes_[j].name == name) return j;
    }
    return -1;
}

std::vector<int> XmlDoc::children(int node, std::string_view name) const {
    std::vector<int> out;
    if (node < 0 || node >= static_cast<int>(nodes_.size())) return out;
    for (int k : nodes_[node].kids)
        if (nodes_[k].name == name) out.push_back(k);
    return out;
}

std::string XmlDoc::field(std::string_view name) const {
    const int r = root();
    if (r < 0) return "";
    if (nodes_[r].name == name) return nodes_[r].text;
    const int n = find(r, name);
    return n < 0 ? "" : nodes_[n].text;
}

}  // namespace vfjoin
