// Feeds standard input from a string and collects what the log prints: all of it in order, and
// the errors alone. Locked, as the I/O thread writes the log too.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "conutil.h"
#include "libcomm.h"

class Console {
  public:
    // The program's categories as it registers them: "MAIN" on, "EVENTS" off, errors on.
    explicit Console(const std::string& input = "") : data_(input) {
        log_reset();
        log_addlevel("MAIN", 0, 1, 0, 0, "");
        log_addlevel("EVENTS", 0, 0, 0, 0, "");
        log_seterror(0, 1, 0, 0, "");
        log_set_sink(&Console::collect, this);
        in_ = data_.empty() ? fopen("/dev/null", "r") : fmemopen(data_.data(), data_.size(), "r");
        input_set_stream(in_);
    }
    ~Console() {
        log_set_sink(nullptr, nullptr);
        input_set_stream(nullptr);
        if (in_) fclose(in_);
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    std::string out() const {
        std::lock_guard<std::mutex> g(lock_);
        return all_;
    }
    std::string err() const {
        std::lock_guard<std::mutex> g(lock_);
        return err_;
    }

  private:
    static void collect(int is_error, const char* text, size_t len, void* user) {
        auto* self = static_cast<Console*>(user);
        std::lock_guard<std::mutex> g(self->lock_);
        self->all_.append(text, len);
        if (is_error) self->err_.append(text, len);
    }
    std::string data_;
    FILE* in_ = nullptr;
    mutable std::mutex lock_;
    std::string all_, err_;
};
