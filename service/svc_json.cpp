// JSON values, their one-line text and the reader: see svc_json.h.
#include "svc_json.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int MAX_DEPTH = 64;
constexpr const char* REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at `p` (of `left` bytes), or 0.
size_t utf8_length(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t n = c < 0x80             ? 1
               : (c & 0xE0) == 0xC0 ? 2
               : (c & 0xF0) == 0xE0 ? 3
               : (c & 0xF8) == 0xF0 ? 4
                                    : 0;
    if (n == 0 || n > left) return 0;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    static constexpr uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return n;
}

void append_utf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | cp >> 6);
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | cp >> 12);
        *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | cp >> 18);
        *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void write_text(std::string* out, std::string_view s) {
    *out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            *out += esc;
        } else if (size_t n = utf8_length(p + i, s.size() - i); n > 0) {
            out->append(s.data() + i, n);
            i += n;
            continue;
        } else {
            *out += REPLACEMENT;
        }
        ++i;
    }
    *out += '"';
}

void write_value(std::string* out, const json_value& v) {
    switch (v.kind) {
        case json_value::null:
            *out += "null";
            break;
        case json_value::boolean:
            *out += v.b ? "true" : "false";
            break;
        case json_value::number: {
            char num[32];
            if (!std::isfinite(v.n))
                snprintf(num, sizeof num, "null");
            else if (v.n == std::floor(v.n) && std::fabs(v.n) < 9007199254740992.0)
                snprintf(num, sizeof num, "%.0f", v.n);
            else  // the shortest that reads back as the same number
                for (int digits = 15; digits <= 17; ++digits) {
                    snprintf(num, sizeof num, "%.*g", digits, v.n);
                    if (std::strtod(num, nullptr) == v.n) break;
                }
            *out += num;
            break;
        }
        case json_value::string:
            write_text(out, v.s);
            break;
        case json_value::array:
            *out += '[';
            for (size_t i = 0; i < v.items.size(); ++i) {
                if (i) *out += ',';
                write_value(out, v.items[i]);
            }
            *out += ']';
            break;
        case json_value::object:
            *out += '{';
            for (size_t i = 0; i < v.members.size(); ++i) {
                if (i) *out += ',';
                write_text(out, v.members[i].first);
                *out += ':';
                write_value(out, v.members[i].second);
            }
            *out += '}';
            break;
    }
}

// A recursive-descent reader over one text.
struct Reader {
    std::string_view t;
    size_t at = 0;

    void blanks() {
        while (at < t.size() && (t[at] == ' ' || t[at] == '\t' || t[at] == '\n' || t[at] == '\r'))
            ++at;
    }
    bool take(char c) {
        blanks();
        if (at < t.size() && t[at] == c) return ++at, true;
        return false;
    }
    bool word(std::string_view w) {
        if (t.substr(at, w.size()) != w) return false;
        at += w.size();
        return true;
    }
    bool hex4(uint32_t* v) {
        if (at + 4 > t.size()) return false;
        *v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = t[at++];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return false;
            *v = *v << 4 | static_cast<uint32_t>(d);
        }
        return true;
    }
    bool text(std::string* out) {
        if (!take('"')) return false;
        const auto* p = reinterpret_cast<const unsigned char*>(t.data());
        while (at < t.size()) {
            const unsigned char c = p[at];
            if (c == '"') return ++at, true;
            if (c < 0x20) return false;
            if (c != '\\') {
                const size_t n = utf8_length(p + at, t.size() - at);
                if (n == 0) return false;
                out->append(t.data() + at, n);
                at += n;
                continue;
            }
            if (++at >= t.size()) return false;
            const char e = t[at++];
            static constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
            if (const size_t k = from.find(e); k != std::string_view::npos) {
                *out += to[k];
                continue;
            }
            uint32_t cp = 0, low = 0;
            if (e != 'u' || !hex4(&cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (!word("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(out, cp);
        }
        return false;
    }
    bool number(double* out) {
        const size_t start = at;
        if (at < t.size() && t[at] == '-') ++at;
        auto digits = [&] {
            const size_t from = at;
            while (at < t.size() && t[at] >= '0' && t[at] <= '9') ++at;
            return at - from;
        };
        const size_t whole = digits();
        if (whole == 0 || (whole > 1 && t[at - whole] == '0')) return false;
        if (at < t.size() && t[at] == '.') {
            ++at;
            if (digits() == 0) return false;
        }
        if (at < t.size() && (t[at] == 'e' || t[at] == 'E')) {
            ++at;
            if (at < t.size() && (t[at] == '+' || t[at] == '-')) ++at;
            if (digits() == 0) return false;
        }
        *out = std::strtod(std::string(t.substr(start, at - start)).c_str(), nullptr);
        return true;
    }
    bool value(json_value* v, int depth) {
        if (depth > MAX_DEPTH) return false;
        blanks();
        if (at >= t.size()) return false;
        const char c = t[at];
        if (c == '"') return v->kind = json_value::string, text(&v->s);
        if (c == '{') {
            ++at;
            v->kind = json_value::object;
            if (take('}')) return true;
            do {
                std::string key;
                json_value member;
                if (!text(&key) || !take(':') || !value(&member, depth + 1)) return false;
                v->members.emplace_back(std::move(key), std::move(member));
            } while (take(','));
            return take('}');
        }
        if (c == '[') {
            ++at;
            v->kind = json_value::array;
            if (take(']')) return true;
            do {
                v->items.emplace_back();
                if (!value(&v->items.back(), depth + 1)) return false;
            } while (take(','));
            return take(']');
        }
        if (word("true")) return v->kind = json_value::boolean, v->b = true, true;
        if (word("false")) return v->kind = json_value::boolean, v->b = false, true;
        if (word("null")) return v->kind = json_value::null, true;
        return v->kind = json_value::number, number(&v->n);
    }
};

}  // namespace

const json_value* json_value::get(std::string_view key) const {
    for (auto it = members.rbegin(); it != members.rend(); ++it)
        if (it->first == key) return &it->second;
    return nullptr;
}

json_value& json_value::set(const std::string& key, json_value v) {
    kind = object;
    for (auto& m : members)
        if (m.first == key) return m.second = std::move(v);
    members.emplace_back(key, std::move(v));
    return members.back().second;
}

std::string json_value::text(std::string_view key) const {
    const json_value* v = get(key);
    return v != nullptr && v->kind == string ? v->s : "";
}

std::string json_write(const json_value& v) {
    std::string out;
    write_value(&out, v);
    return out;
}

bool json_read(std::string_view text, json_value* out) {
    Reader r{text};
    *out = json_value{};
    if (!r.value(out, 0)) return false;
    r.blanks();
    return r.at == text.size();
}
