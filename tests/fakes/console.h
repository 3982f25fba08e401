// Test support: feed the console's standard input from a string and collect everything the log
// prints, in order, as one text (errors included) and as the error text alone. The log may be
// written from the I/O thread as well.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "conutil.h"
#include "libcomm.h"

class Console {
  public:
    // Registers the program's categories ("MAIN" on, "EVENTS" off, errors on) and takes over
    // standard input with `input`.
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
