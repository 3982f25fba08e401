// What svc_sys.h asks the same way on every system: times as texts.
#include <chrono>
#include <cstdio>

#include "svc_sys.h"

namespace {

std::string utc_format(int64_t ms, const char* format) {
    struct tm tm {};
    svc_utc_tm(ms / 1000, &tm);
    char text[64];
    strftime(text, sizeof text, format, &tm);
    return text;
}

}  // namespace

std::string svc_utc_text(int64_t ms, bool millis) {
    if (!millis) return utc_format(ms, "%Y-%m-%dT%H:%M:%SZ");
    char frac[8];
    snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms % 1000));
    return utc_format(ms, "%Y-%m-%dT%H:%M:%S") + frac;
}

std::string svc_utc_stamp(int64_t ms) {
    return utc_format(ms, "%Y%m%dT%H%M%SZ");
}

int64_t svc_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
