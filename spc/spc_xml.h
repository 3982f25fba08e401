// A small streaming reader of XML 1.0 documents, for N42 files of any size and any writer. It
// goes through the text once and hands each element's start (its name resolved against the
// namespace declarations in force, and its attributes), its character data and its end to a
// handler; it keeps nothing but the names of the elements still open. A document of 60 MB thus
// costs what the handler keeps of it, where a tree of its nodes would cost twenty times its size.
//
// It checks what a reader must rely on (tags that nest and match, quoted attributes, known
// entities, one root, nothing but markup after it) and refuses a document type declaration
// with its own declarations (entities the reader would have to expand), elements nested deeper
// than SPC_XML_MAX_DEPTH, and character references to NUL. Character data is not checked for
// characters XML does not allow: text shown from a document goes through device_text anyway.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// No N42 file nests more than a dozen elements; a document nested deeper is not one.
constexpr int SPC_XML_MAX_DEPTH = 256;

struct spc_xml_attribute {
    std::string_view name;  // local name (prefix removed)
    std::string value;      // entities replaced
};

// What the scanner calls. Views are valid only during the call.
struct spc_xml_handler {
    virtual ~spc_xml_handler() = default;
    // `uri` is the element's namespace ("" for none), `name` its local name.
    virtual void start(std::string_view uri, std::string_view name,
                       const std::vector<spc_xml_attribute>& attributes) = 0;
    // Character data of the innermost open element, in one or more pieces (entities replaced,
    // CDATA sections included, comments removed).
    virtual void text(std::string_view piece) = 0;
    virtual void end() = 0;
    // True stops the scan at once (the handler found what makes the document unusable).
    virtual bool stop() const { return false; }
};

// Scans `doc`. False with `error` (what is wrong) and `offset` (the byte where it was found)
// when the document is not well formed as far as the scanner checks.
bool spc_xml_scan(std::string_view doc, spc_xml_handler* handler, std::string* error,
                  size_t* offset);
