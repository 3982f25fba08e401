// The TCP connection string, shared by every system: "tcp://HOST:PORT?timeout=MS", HOST a name,
// an IPv4 address or an IPv6 address in brackets; and its maker, which takes an operator's
// "HOST:PORT" too.
#include <cstring>
#include <string>

#include "comm_internal.h"

namespace {

constexpr std::string_view PREFIX = "tcp://";
constexpr int DEFAULT_TIMEOUT_MS = 1000;
constexpr long MAX_TIMEOUT_MS = 3600000;

bool host_char(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           ch == '.' || ch == '-' || ch == '_';
}

bool ipv6_literal(std::string_view host) {
    char text[INET6_ADDRSTRLEN + 1];
    if (host.empty() || host.size() >= sizeof text) return false;
    host.copy(text, host.size());
    text[host.size()] = '\0';
    in6_addr a;
    return inet_pton(AF_INET6, text, &a) == 1;
}

bool valid_name(std::string_view host) {
    if (host.empty() || host.size() >= COMM_TEXT_SIZE) return false;
    for (char ch : host)
        if (!host_char(ch)) return false;
    return true;
}

}  // namespace

int comm_net_parse(const char* conn_string, comm_net_params* out) {
    std::string_view text, query;
    if (!comm_split_link(conn_string, PREFIX, comm_query_at::first, &text, &query)) return 0;
    std::string_view host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return -1;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (!ipv6_literal(host)) return -1;
    } else {
        size_t colon = text.find(':');
        if (colon == std::string_view::npos) return -1;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (!valid_name(host)) return -1;
    }
    long port_value, timeout = DEFAULT_TIMEOUT_MS;
    if (!comm_parse_decimal(port, 1, 65535, &port_value)) return -1;
    comm_query q;
    static const char* const known[] = {"timeout", nullptr};
    if (!comm_query_split(query, &q) || !comm_query_only(q, known)) return -1;
    std::string_view value;
    if (comm_query_find(q, "timeout", &value) &&
        !comm_parse_decimal(value, 1, MAX_TIMEOUT_MS, &timeout))
        return -1;
    host.copy(out->host, host.size());
    out->host[host.size()] = '\0';
    out->port = static_cast<int>(port_value);
    out->timeout_ms = static_cast<int>(timeout);
    return 1;
}

namespace {

// Splits a trailing ":PORT" off a host text when the text is "HOST:PORT" (one colon) or
// "[V6]:PORT". A bare IPv6 literal, with several colons, keeps the given port.
void split_host_port(std::string_view* host, int* port) {
    std::string_view h = *host;
    size_t colon = h.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= h.size()) return;
    bool bracketed = h.front() == '[' && colon > 0 && h[colon - 1] == ']';
    if (!bracketed && h.find(':') != colon) return;
    std::string_view digits = h.substr(colon + 1);
    if (digits.size() > 5) return;
    int p = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return;
        p = p * 10 + (c - '0');
    }
    if (p < 1 || p > 65535) return;
    *host = h.substr(0, colon);
    *port = p;
}

}  // namespace

int comm_make_conn_string_net(char* out, const char* host, int port, int connect_timeout_ms) {
    if (out == nullptr) return -1;
    out[0] = '\0';
    if (host == nullptr || port < 1 || port > 65535 || connect_timeout_ms < 1 ||
        connect_timeout_ms > MAX_TIMEOUT_MS)
        return -1;
    std::string_view h(host);
    // An operator may name another port with the host: "HOST:PORT" or "[V6]:PORT" (a
    // simulator on a port of its own, a forwarded instrument).
    split_host_port(&h, &port);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    const char* open = "";
    const char* close = "";
    if (ipv6_literal(h)) {
        open = "[";
        close = "]";
    } else if (!valid_name(h)) {
        return -1;
    }
    return comm_format(out, COMM_CONN_STRING_SIZE, "tcp://%s%.*s%s:%d?timeout=%d", open,
                       static_cast<int>(h.size()), h.data(), close, port, connect_timeout_ms);
}
