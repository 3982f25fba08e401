// Captures what the library prints through log_error for the length of a test.
#pragma once

#include <mutex>
#include <string>

#include "libcomm.h"

class ErrorLog {
  public:
    ErrorLog() {
        log_reset();
        log_seterror(0, 1, 0, 0, "");
        log_set_sink(sink, this);
    }
    ~ErrorLog() {
        log_set_sink(nullptr, nullptr);
        log_reset();
    }
    ErrorLog(const ErrorLog&) = delete;
    ErrorLog& operator=(const ErrorLog&) = delete;

    std::string text() {
        std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }
    // How often `part` occurs in what was printed.
    int count(const std::string& part) {
        std::string all = text();
        int n = 0;
        for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
        return n;
    }

  private:
    static void sink(int is_error, const char* text, size_t length, void* user) {
        auto self = static_cast<ErrorLog*>(user);
        if (!is_error) return;
        std::lock_guard<std::mutex> guard(self->lock_);
        self->text_.append(text, length);
    }
    std::mutex lock_;
    std::string text_;
};
