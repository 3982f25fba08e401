#include "spc_xml.h"

#include <cstdint>

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool ends_name(char c) {
    return is_space(c) || c == '/' || c == '>' || c == '=' || c == '<' || c == '"' || c == '\'';
}

void put_utf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | c >> 18));
        out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

struct open_element {
    std::string_view qname;
    size_t bindings;  // namespace bindings in force before it
};

struct scanner {
    std::string_view doc;
    spc_xml_handler* h = nullptr;
    size_t at = 0;
    std::string error;
    size_t error_at = 0;
    std::vector<open_element> open;
    std::vector<std::pair<std::string_view, std::string>> bindings;  // prefix, namespace
    bool root_seen = false;

    bool fail(size_t where, std::string what) {
        error = std::move(what);
        error_at = where;
        return false;
    }
    bool starts(std::string_view s) const { return doc.substr(at, s.size()) == s; }

    // The entity reference at `at` (its '&'), appended to `out`; `at` moves past its ';'.
    bool entity(std::string* out) {
        size_t semi = doc.substr(at, 13).find(';');
        if (semi == std::string_view::npos)
            return fail(at, "'&' that starts no entity reference (write &amp;)");
        semi += at;
        std::string_view name = doc.substr(at + 1, semi - at - 1);
        static constexpr std::pair<std::string_view, char> NAMED[] = {
            {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        for (auto [n, c] : NAMED)
            if (name == n) {
                out->push_back(c);
                at = semi + 1;
                return true;
            }
        if (name.size() < 2 || name[0] != '#') return fail(at, "an entity XML does not define");
        bool hex = name[1] == 'x';
        std::string_view digits = name.substr(hex ? 2 : 1);
        uint32_t c = 0;
        if (digits.empty()) return fail(at, "an empty character reference");
        for (char d : digits) {
            int v = d >= '0' && d <= '9'                            ? d - '0'
                    : hex && (d | 0x20) >= 'a' && (d | 0x20) <= 'f' ? (d | 0x20) - 'a' + 10
                                                                    : -1;
            if (v < 0) return fail(at, "a character reference that is not a number");
            c = c * (hex ? 16 : 10) + static_cast<uint32_t>(v);
            if (c > 0x10FFFF) return fail(at, "a character reference beyond Unicode");
        }
        if (c == 0 || (c >= 0xD800 && c <= 0xDFFF))
            return fail(at, "a character reference to a character XML does not allow");
        put_utf8(c, out);
        at = semi + 1;
        return true;
    }

    // Character data up to the next '<', given to the handler in pieces.
    bool text() {
        size_t end = doc.find('<', at);
        if (end == std::string_view::npos) end = doc.size();
        if (open.empty()) {
            for (size_t i = at; i < end; ++i)
                if (!is_space(doc[i])) return fail(i, "text outside the root element");
            at = end;
            return true;
        }
        while (at < end) {
            size_t amp = doc.substr(at, end - at).find('&');
            amp = amp == std::string_view::npos ? end : at + amp;
            if (amp > at) h->text(doc.substr(at, amp - at));
            at = amp;
            if (at == end) break;
            std::string c;
            if (!entity(&c)) return false;
            h->text(c);
        }
        return true;
    }

    // Past `close` (comments, PIs, CDATA); false at the end of the document.
    bool skip_past(std::string_view close, const char* what) {
        size_t end = doc.find(close, at);
        if (end == std::string_view::npos) return fail(at, std::string(what) + " never closed");
        at = end + close.size();
        return true;
    }

    bool name(std::string_view* out) {
        size_t from = at;
        while (at < doc.size() && !ends_name(doc[at])) ++at;
        *out = doc.substr(from, at - from);
        if (out->empty()) return fail(from, "a tag without a name");
        char c = (*out)[0];
        if ((c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':')
            return fail(from, "a name that starts with a digit or punctuation");
        return true;
    }

    void skip_space() {
        while (at < doc.size() && is_space(doc[at])) ++at;
    }

    // An element's namespace from its prefix; without a prefix the default namespace, if any.
    bool resolve(std::string_view prefix, std::string* uri, size_t where) {
        if (prefix == "xml") {
            *uri = "http://www.w3.org/XML/1998/namespace";
            return true;
        }
        for (size_t k = bindings.size(); k-- > 0;)
            if (bindings[k].first == prefix) {
                *uri = bindings[k].second;
                return true;
            }
        return prefix.empty() || fail(where, "a namespace prefix that is not declared");
    }

    bool start_tag() {
        size_t tag_at = at++;
        std::string_view qname;
        if (!name(&qname)) return false;
        if (open.empty() && root_seen) return fail(tag_at, "a second root element");
        if (open.size() >= static_cast<size_t>(SPC_XML_MAX_DEPTH))
            return fail(tag_at,
                        "elements nested more than " + std::to_string(SPC_XML_MAX_DEPTH) + " deep");
        std::vector<std::pair<std::string_view, std::string>> raw;  // qualified name, value
        bool empty = false;
        for (;;) {
            size_t before = at;
            skip_space();
            if (at >= doc.size()) return fail(tag_at, "a tag never closed");
            if (doc[at] == '>') {
                ++at;
                break;
            }
            if (starts("/>")) {
                at += 2;
                empty = true;
                break;
            }
            if (at == before) return fail(at, "attributes not separated by blanks");
            std::string_view an;
            if (!name(&an)) return false;
            skip_space();
            if (at >= doc.size() || doc[at] != '=') return fail(at, "an attribute without '='");
            ++at;
            skip_space();
            if (at >= doc.size() || (doc[at] != '"' && doc[at] != '\''))
                return fail(at, "an attribute value without quotes");
            char quote = doc[at++];
            std::string value;
            for (;;) {
                if (at >= doc.size()) return fail(tag_at, "an attribute value never closed");
                char c = doc[at];
                if (c == quote) break;
                if (c == '<') return fail(at, "'<' in an attribute value");
                if (c == '&') {
                    if (!entity(&value)) return false;
                } else {
                    value.push_back(c);
                    ++at;
                }
            }
            ++at;
            raw.emplace_back(an, std::move(value));
        }
        size_t before = bindings.size();
        for (auto& [an, value] : raw) {
            if (an == "xmlns") bindings.emplace_back(std::string_view(), value);
            if (an.substr(0, 6) == "xmlns:") bindings.emplace_back(an.substr(6), value);
        }
        size_t colon = qname.find(':');
        std::string_view prefix = colon == std::string_view::npos ? "" : qname.substr(0, colon);
        std::string uri;
        if (!resolve(prefix, &uri, tag_at)) return false;
        std::vector<spc_xml_attribute> attributes;
        for (auto& [an, value] : raw) {
            if (an == "xmlns" || an.substr(0, 6) == "xmlns:") continue;
            size_t c = an.find(':');
            attributes.push_back(
                {c == std::string_view::npos ? an : an.substr(c + 1), std::move(value)});
        }
        root_seen = true;
        open.push_back({qname, before});
        h->start(uri, colon == std::string_view::npos ? qname : qname.substr(colon + 1),
                 attributes);
        if (empty) close_element();
        return true;
    }

    void close_element() {
        bindings.resize(open.back().bindings);
        open.pop_back();
        h->end();
    }

    bool end_tag() {
        size_t tag_at = at;
        at += 2;
        std::string_view qname;
        if (!name(&qname)) return false;
        skip_space();
        if (at >= doc.size() || doc[at] != '>') return fail(tag_at, "an end tag never closed");
        ++at;
        if (open.empty()) return fail(tag_at, "an end tag without its start");
        if (open.back().qname != qname) return fail(tag_at, "start and end tags do not match");
        close_element();
        return true;
    }

    bool doctype() {
        if (root_seen) return fail(at, "a document type declaration inside the document");
        size_t end = doc.find('>', at), subset = doc.substr(at, end - at).find('[');
        if (end == std::string_view::npos)
            return fail(at, "a document type declaration never closed");
        if (subset != std::string_view::npos)
            return fail(at, "a document type declaration with declarations of its own (not read)");
        at = end + 1;
        return true;
    }

    bool run() {
        if (doc.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
        while (at < doc.size()) {
            if (h->stop()) return true;
            if (doc[at] != '<') {
                if (!text()) return false;
                continue;
            }
            bool ok = starts("<!--")        ? skip_past("-->", "a comment")
                      : starts("<![CDATA[") ? cdata()
                      : starts("<!DOCTYPE") ? doctype()
                      : starts("<?")        ? skip_past("?>", "a processing instruction")
                      : starts("</")        ? end_tag()
                      : starts("<!")        ? fail(at, "markup XML does not know")
                                            : start_tag();
            if (!ok) return false;
        }
        if (!open.empty())
            return fail(doc.size(), "the document ends inside an element (file cut short?)");
        if (!root_seen) return fail(0, "no element in the document");
        return true;
    }

    bool cdata() {
        if (open.empty()) return fail(at, "a CDATA section outside the root element");
        size_t from = at + 9, end = doc.find("]]>", from);
        if (end == std::string_view::npos) return fail(at, "a CDATA section never closed");
        if (end > from) h->text(doc.substr(from, end - from));
        at = end + 3;
        return true;
    }
};

}  // namespace

bool spc_xml_scan(std::string_view doc, spc_xml_handler* handler, std::string* error,
                  size_t* offset) {
    scanner s;
    s.doc = doc;
    s.h = handler;
    if (s.run()) return true;
    *error = s.error;
    *offset = s.error_at;
    return false;
}
