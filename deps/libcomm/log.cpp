// The console log: categories with levels, one lock, every call written whole and flushed.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "libcomm.h"

namespace {

struct Category {
    std::string name;
    int level;
    std::string prefix;
};

struct Log {
    std::mutex lock;
    std::vector<Category> categories;
    int error_level = 0;
    std::string error_prefix;
    log_sink_proc sink = nullptr;
    void* sink_user = nullptr;
};

Log& the_log() {
    static Log log;
    return log;
}

Category* find(Log& log, const char* name) {
    if (name == nullptr) return nullptr;
    for (auto& c : log.categories)
        if (c.name == name) return &c;
    return nullptr;
}

// Formats into a stack buffer, falling back to the heap only for very long records.
void emit(Log& log, int is_error, const char* prefix, const char* format, va_list args) {
    char small[2048];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return;
    std::string big;
    const char* text = small;
    if (static_cast<size_t>(n) >= sizeof small) {
        big.resize(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), format, args);
        text = big.c_str();
    }
    size_t prefix_len = prefix ? strlen(prefix) : 0;
    if (log.sink) {
        if (prefix_len) log.sink(is_error, prefix, prefix_len, log.sink_user);
        log.sink(is_error, text, static_cast<size_t>(n), log.sink_user);
        return;
    }
    FILE* out = is_error ? stderr : stdout;
    if (prefix_len) fwrite(prefix, 1, prefix_len, out);
    fwrite(text, 1, static_cast<size_t>(n), out);
    fflush(out);
}

int vlog(const char* category, bool start, const char* format, va_list args) {
    Log& log = the_log();
    std::lock_guard<std::mutex> guard(log.lock);
    Category* c = find(log, category);
    if (c == nullptr || c->level <= 0) return 0;
    emit(log, 0, start ? c->prefix.c_str() : nullptr, format, args);
    return 0;
}

}  // namespace

int log_addlevel(const char* category, int, int level, int, int, const char* prefix) {
    if (category == nullptr) return -1;
    Log& log = the_log();
    std::lock_guard<std::mutex> guard(log.lock);
    if (Category* c = find(log, category)) {
        c->level = level;
        c->prefix = prefix ? prefix : "";
        return 0;
    }
    log.categories.push_back({category, level, prefix ? prefix : ""});
    return 0;
}

int log_seterror(int, int level, int, int, const char* prefix) {
    Log& log = the_log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.error_level = level;
    log.error_prefix = prefix ? prefix : "";
    return 0;
}

int log_setlevel(const char* category, int level) {
    Log& log = the_log();
    std::lock_guard<std::mutex> guard(log.lock);
    Category* c = find(log, category);
    if (c == nullptr) return -1;
    c->level = level;
    return 0;
}

int log_write(const char* category, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = vlog(category, true, format, args);
    va_end(args);
    return r;
}

int log_append(const char* category, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = vlog(category, false, format, args);
    va_end(args);
    return r;
}

int log_error(const char* format, ...) {
    Log& log = the_log();
    std::lock_guard<std::mutex> guard(log.lock);
    if (log.error_level <= 0) return 0;
    va_list args;
    va_start(args, format);
    emit(log, 1, log.error_prefix.c_str(), format, args);
    va_end(args);
    return 0;
}

void log_set_sink(log_sink_proc sink, void* user) {
    Log& log = the_log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.sink = sink;
    log.sink_user = user;
}

void log_reset(void) {
    Log& log = the_log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.categories.clear();
    log.error_level = 0;
    log.error_prefix.clear();
}
