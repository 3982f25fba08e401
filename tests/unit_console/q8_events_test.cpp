// The instrument's asynchronous events: which handler each code reaches, every handler's console
// line with "EVENTS" on and off, and events too short for the fields they carry. (The spectrum
// file: files_test.cpp.)
#include <map>

#include "fixture.h"
#include "q8_cmds.h"

namespace {

using Events = Linked;

// Event data whose i32 fields at 4 and 8 are `a` and `b`, `size` bytes long.
Bytes data(size_t size, int32_t a = 0, int32_t b = 0) {
    Bytes d(size, 0xEE);
    if (size >= 8) put_i32le(d.data() + 4, a);
    if (size >= 12) put_i32le(d.data() + 8, b);
    return d;
}
// Spectrum header data: channel count at 2, the printed value at 8.
Bytes spectrum_header(size_t size, int32_t count, uint16_t value) {
    Bytes d(size, 0);
    if (size >= 6) put_i32le(d.data() + 2, count);
    if (size >= 10) put_u16le(d.data() + 8, value);
    return d;
}

// Each event as the link delivers it: to the handler hooked for its code (the hooks' order and
// handle: main_test.cpp), with "EVENTS" on and off.
TEST_F(Events, EachCodesHandlerPrintsItsLine) {
    fake_qxx::st().hook_result = 5;
    EXPECT_EQ(Q8_cmd_hook_events(9), 5);  // the link's answer to the last hook
    std::map<int, QXX_event_handler> hooked;
    for (const auto& [handle, code, handler] : fake_qxx::st().hooks) hooked[code] = handler;
    ASSERT_EQ(hooked.size(), 7u);
    const struct {
        const char* name;
        int code;
        Bytes payload;
        std::string shown_on, shown_off;  // with "EVENTS" on, and off
    } cases[] = {
        // clang-format off
        {"key 7", 10003, data(8, 7), "Keyboard event: Key=7\n", ""},
        {"key -3, longer data", 10003, data(20, -3), "Keyboard event: Key=-3\n", ""},
        {"key, data too short", 10003, data(7), "", ""},
        {"total", 10005, {}, "Total event\n", ""},
        {"status", 10007, data(3), "Status event\n", ""},
        {"light sensor", 10010, {}, "Light sensor monochromatic event\n", ""},
        {"progress 45 %", 10012, data(12, 45, 0), "45%\n", "45%\n"},
        {"progress done", 10012, data(12, 45, 1), "Done.\n", "Done.\n"},
        {"progress, state 2", 10012, data(12, 45, 2), "", ""},
        {"progress, state -1", 10012, data(12, 45, -1), "", ""},
        {"progress, data too short", 10012, data(11, 45, 0), "", ""},
        {"cs stab 17", 10015, data(8, 17), "CS stab event. Result:17\n", "CS stab event. Result:17\n"},
        {"cs stab -1", 10015, data(9, -1), "CS stab event. Result:-1\n", "CS stab event. Result:-1\n"},
        {"cs stab, data too short", 10015, data(7), "", ""},
        {"spectrum header only", 10002, spectrum_header(10, 512, 65535), "spectrum(512) 65535 received.\n", "spectrum(512) 65535 received.\n"},
        {"spectrum of 1023", 10002, spectrum_header(4326, 1023, 3), "spectrum(1023) 3 received.\n", "spectrum(1023) 3 received.\n"},
        {"spectrum of 1025", 10002, spectrum_header(4326, 1025, 4), "spectrum(1025) 4 received.\n", "spectrum(1025) 4 received.\n"},
        {"spectrum, header too short", 10002, spectrum_header(9, 512, 1), "", ""},
        {"spectrum of 1024, channels missing", 10002, spectrum_header(4325, 1024, 1), "", ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int on : {1, 0}) {
            Console con;
            log_setlevel("EVENTS", on);
            EXPECT_EQ(hooked[c.code](7, nullptr, frame_of(c.code, c.payload).data(), 0), 0);
            EXPECT_EQ(con.out(), on ? c.shown_on : c.shown_off) << "EVENTS " << on;
        }
        EXPECT_FALSE(std::filesystem::exists("spect.spc"));
    }
    Console con;  // no frame at all
    for (int code : {10003, 10012, 10015, 10002})
        EXPECT_EQ(hooked[code](7, nullptr, nullptr, 0), 0);
    EXPECT_EQ(con.out(), "");
}

}  // namespace
