// JSON for nv-service: the service record and --json output are built as values and written in
// one line each; history reads the record's lines back.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct json_value {
    enum kind_t { null, boolean, number, string, array, object };
    kind_t kind = null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<json_value> items;                            // an array's
    std::vector<std::pair<std::string, json_value>> members;  // an object's, in order

    json_value() = default;
    json_value(const char* text) : kind(string), s(text) {}
    json_value(std::string text) : kind(string), s(std::move(text)) {}
    json_value(double v) : kind(number), n(v) {}
    json_value(int v) : kind(number), n(v) {}
    json_value(bool v) : kind(boolean), b(v) {}
    static json_value make_array() { return with_kind(array); }
    static json_value make_object() { return with_kind(object); }

    // An object's member (the last of that name), or null when there is none.
    const json_value* get(std::string_view key) const;
    // Adds (or replaces) an object's member; returns it.
    json_value& set(const std::string& key, json_value v);
    // A member's text, or "" when it is missing or no text.
    std::string text(std::string_view key) const;

  private:
    static json_value with_kind(kind_t k) {
        json_value v;
        v.kind = k;
        return v;
    }
};

// One line of JSON text, no blanks, no newline. Text that is not valid UTF-8 has each bad byte
// replaced by U+FFFD; control characters are escaped.
std::string json_write(const json_value& v);
// Reads one whole JSON text (blanks around it allowed). False on anything else: a syntax
// error, trailing text, nesting deeper than 64, a text that is not valid UTF-8.
bool json_read(std::string_view text, json_value* out);
