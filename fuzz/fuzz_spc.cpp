// nv-spc's spectrum readers (the spectrum text, N42 from any writer, the lab's ASCII and binary
// spectra, CSV) on arbitrary bytes, and the terminal picture of whatever they accept.
// An accepted spectrum must hold what the formats allow (at least one channel, none negative,
// a closing line of one of the two writers where there is one), carry only escaped text in
// its messages, and read back the same once written out again: as the spectrum text when it
// has header values, else through the N42 export.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "safe_text.h"
#include "spc_export.h"
#include "spc_plot.h"
#include "spc_spectrum.h"

namespace {

// Escaped text escapes again only at its backslashes, which the escaping itself writes.
void shown_safely(const std::string& text) {
    std::string again;
    for (char c : text) again += c == '\\' ? std::string("\\x5c") : std::string(1, c);
    if (device_text(text.c_str(), text.size()) != again) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    spc_spectrum s;
    spc_error err;
    if (!spc_parse(text, &s, &err, size % 5 == 0 ? "2" : "")) {
        if (err.what.empty() || err.line < 0) std::abort();
        size_t line = 0;  // the listing of several spectra has one per line
        for (size_t at; (at = err.what.find('\n', line)) != std::string::npos; line = at + 1)
            shown_safely(err.what.substr(line, at - line));
        shown_safely(err.what.substr(line));
        return 0;
    }
    if (s.counts.empty()) std::abort();
    for (int32_t c : s.counts)
        if (c < 0) std::abort();
    if (s.closing == SPECT_EVENT_CLOSING && s.counts.size() != SPECT_EVENT_CHANNELS) std::abort();
    shown_safely(s.source);
    for (const auto& note : s.notes) shown_safely(note);

    std::string again;
    if (s.header) {
        again = std::to_string(s.first) + "\n" + std::to_string(s.second) + "\n";
        for (int32_t c : s.counts) again += std::to_string(c) + "\n";
        again += s.closing + "\n";
    } else {
        again = spc_export_n42(s, s.calib, {});
    }
    spc_spectrum t;
    if (!spc_parse(again, &t, &err) || t.counts != s.counts || t.first != s.first ||
        t.second != s.second || t.closing != s.closing || (!s.header && t.calib.set != s.calib.set))
        std::abort();

    if (s.counts.size() <= 4096) {
        spc_plot_options o;
        o.width = 20 + static_cast<int>(size % 100);
        o.height = 3 + static_cast<int>(size % 7);
        o.log = size % 2;
        spc_calib cal;
        cal.set = size % 3 == 0 || s.calib.set;
        cal.offset = 1.5;
        cal.gain = 0.25;
        std::string picture = spc_plot_text(s, cal, {}, o);
        if (picture.empty()) std::abort();
    }
    return 0;
}
