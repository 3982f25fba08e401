// Small text helpers shared by the transports' connection-string parsers and makers.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "comm_internal.h"

bool comm_parse_decimal(std::string_view text, long lo, long hi, long* value) {
    if (text.empty() || text.size() > 10) return false;
    long v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + (ch - '0');
    }
    if (v < lo || v > hi) return false;
    *value = v;
    return true;
}

bool comm_parse_hex(std::string_view text, int max_digits, long lo, long hi, long* value) {
    if (text.empty() || text.size() > static_cast<size_t>(max_digits) || max_digits > 8)
        return false;
    long v = 0;
    for (char ch : text) {
        int d;
        if (ch >= '0' && ch <= '9') {
            d = ch - '0';
        } else if (ch >= 'a' && ch <= 'f') {
            d = ch - 'a' + 10;
        } else if (ch >= 'A' && ch <= 'F') {
            d = ch - 'A' + 10;
        } else {
            return false;
        }
        v = v * 16 + d;
    }
    if (v < lo || v > hi) return false;
    *value = v;
    return true;
}

bool comm_split_link(std::string_view text, std::string_view prefix, comm_query_at at,
                     std::string_view* target, std::string_view* query) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    text.remove_prefix(prefix.size());
    size_t q = at == comm_query_at::last ? text.rfind('?') : text.find('?');
    *target = text.substr(0, q);
    *query = q == std::string_view::npos ? std::string_view() : text.substr(q + 1);
    return true;
}

bool comm_query_split(std::string_view text, comm_query* out) {
    out->count = 0;
    while (!text.empty()) {
        size_t amp = text.find('&');
        std::string_view pair = text.substr(0, amp);
        size_t eq = pair.find('=');
        if (eq == 0 || eq == std::string_view::npos || out->count == COMM_QUERY_MAX) return false;
        std::string_view key = pair.substr(0, eq);
        for (int i = 0; i < out->count; ++i)
            if (out->key[i] == key) return false;
        out->key[out->count] = key;
        out->value[out->count] = pair.substr(eq + 1);
        ++out->count;
        if (amp == std::string_view::npos) break;
        text.remove_prefix(amp + 1);
        if (text.empty()) return false;  // a trailing '&'
    }
    return true;
}

bool comm_query_only(const comm_query& query, const char* const* known) {
    for (int i = 0; i < query.count; ++i) {
        bool found = false;
        for (const char* const* k = known; *k != nullptr && !found; ++k) found = query.key[i] == *k;
        if (!found) return false;
    }
    return true;
}

bool comm_query_find(const comm_query& query, std::string_view key, std::string_view* value) {
    for (int i = 0; i < query.count; ++i) {
        if (query.key[i] == key) {
            *value = query.value[i];
            return true;
        }
    }
    return false;
}

int comm_format(char* out, int size, const char* format, ...) {
    if (out == nullptr || size <= 0) return -1;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out, static_cast<size_t>(size), format, args);
    va_end(args);
    if (n < 0 || n >= size) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}
