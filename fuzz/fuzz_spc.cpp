// nv-spc's spectrum reader (the spectrum text, its N42 and CSV exports) on arbitrary bytes, and
// the terminal picture of whatever it accepts.
// An accepted spectrum must hold what the layout allows (at least one channel, no negative
// count, a closing line of one of the two writers) and read back the same once written out
// again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "spc_plot.h"
#include "spc_spectrum.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    spc_spectrum s;
    spc_error err;
    if (!spc_parse(text, &s, &err)) {
        if (err.what.empty() || err.line < 0) std::abort();
        return 0;
    }
    if (s.counts.empty()) std::abort();
    for (int32_t c : s.counts)
        if (c < 0) std::abort();
    if (s.closing == SPC_EVENT_CLOSING && s.counts.size() != SPC_EVENT_CHANNELS) std::abort();

    std::string again = std::to_string(s.first) + "\n" + std::to_string(s.second) + "\n";
    for (int32_t c : s.counts) again += std::to_string(c) + "\n";
    again += s.closing + "\n";
    spc_spectrum t;
    if (!spc_parse(again, &t, &err) || t.counts != s.counts || t.first != s.first ||
        t.second != s.second || t.closing != s.closing)
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
