// The instrument's console commands off the menu, field by field: the status and parameter
// dialogues (every prompt, its default read from the record, its limits and its type), the status
// print-out, the small commands' limits, texts and bytes, and the menu rows.
#include <stdio.h>

#include <cmath>
#include <fstream>
#include <span>

#include "fixture.h"
#include "q8_cmds.h"

namespace {

using Q8Commands = Linked;
using Handler = std::function<int(char*, int)>;

// A record of `size` bytes, every byte different from its neighbours.
Bytes pattern(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(i * 37 + 11);
    return b;
}

// One question of a dialogue: prompt, field offset, reader ('h' short, 'i' integer taking the
// command line's parameter, 'f' float, 'b' a bit of the u32 at the offset), limits, bit.
struct Field {
    const char* prompt;
    int offset;
    char type;
    int32_t min, max;
    int bit = 0;
};

// clang-format off
const Field STATUS_FIELDS[] = {
    {"wifi status:", 10, 'h', 0, 1},
    {"usb status:", 6, 'h', 0, 1},
    {"bluetooth status:", 8, 'h', 0, 1},
    {"record survey:", 48, 'i', 0, 1},
    {"system status:", 0, 'h', 0, 255},
    {"stab status:", 56, 'i', 0, 1},
    {"alarm status:", 52, 'i', 0, 65535},
    {"bat. charger status:", 98, 'b', 0, 1, 0},
    {"bat. voltage [mV] :", 102, 'f', 0, 65535},
    {"bat. gauge [%]:", 106, 'f', 0, 100},
    {"bat. change rate [%%hr]:", 110, 'f', -65535, 65535},
    {"bat. charging:", 98, 'b', 0, 1, 1},
    {"bat. ac adapter:", 98, 'b', 0, 1, 2},
    {"GPP status:", 4, 'h', 0, 1},
    {"GPS Power status:", 174, 'i', 0, 1},
    {"GPS comm status:", 178, 'i', 0, 2},
    {"GPS latitude:", 182, 'f', -90, 90},
    {"GPS longitude:", 186, 'f', -180, 180},
    {"GPS Altitude [m]:", 190, 'f', 0, 20000},
    {"GPS satellites:", 194, 'i', 0, 9},
    {"Light sensor status:", 238, 'i', 0, 1},
    {"Light sensor intensity:", 242, 'i', 0, 100},
    {"Light sensor mono:", 246, 'i', 0, 1},
};
const Field PARAM_FIELDS[] = {
    {"Identify time:", 0, 'h', 0, 600},
    {"Dose units:", 2, 'h', 0, 2},
    {"Record survey:", 4, 'h', 0, 1},
    {"Contrast:", 134, 'h', 0, 2},
    {"USB mode:", 136, 'h', 0, 2},
    {"Floating BG:", 274, 'h', 0, 1},
    {"BG const:", 268, 'i', 0, 999},
    {"GPS enable:", 138, 'h', 0, 1},
    {"BG acquire:", 272, 'h', 0, 100},
    {"Gamma alarm status:", 404, 'h', 0, 1},
    {"Gamma alarm threshold level 1:", 406, 'i', 0, 10},
    {"Neutron alarm status:", 694, 'h', 0, 1},
    {"Dose alarm status:", 542, 'h', 0, 1},
    {"Dose rate alarm status:", 552, 'h', 0, 1},
    {"Dose rate alarm threshold level 1:", 554, 'f', 0, 999},
    {"Dose rate alarm unit:", 562, 'i', 0, 8},
    {"Dose alarm threshold level 1:", 544, 'f', 0, 999},
    {"Dose alarm unit:", 548, 'i', 0, 8},
    {"Audio volume:", 832, 'h', 0, 2},
    {"Audio mode:", 834, 'h', 0, 2},
    {"Sweep threshold:", 836, 'h', 0, 2},
};
// clang-format on

// A record with a small plain value in every field (floats with a fraction), the pattern
// everywhere else; the bits 0 and 2 of the battery flags set, bit 1 clear.
Bytes filled(size_t size, std::span<const Field> fields) {
    Bytes b = pattern(size);
    int n = 0;
    for (const Field& f : fields) {
        unsigned char* p = b.data() + f.offset;
        ++n;
        if (f.type == 'h') put_u16le(p, static_cast<uint16_t>(n));
        if (f.type == 'i') put_i32le(p, 100 + n);
        if (f.type == 'f') put_f32le(p, n + 0.25f);
        if (f.type == 'b') put_u32le(p, (get_u32le(p) & ~7u) | 5u);
    }
    return b;
}

// The prompt as shown with the field's current value in `rec`.
std::string prompt(const Field& f, const Bytes& rec) {
    const unsigned char* p = rec.data() + f.offset;
    char value[64];
    if (f.type == 'h') snprintf(value, sizeof value, "%d", static_cast<int16_t>(get_u16le(p)));
    if (f.type == 'i') snprintf(value, sizeof value, "%d", get_i32le(p));
    if (f.type == 'f') snprintf(value, sizeof value, "%.3f", static_cast<double>(get_f32le(p)));
    if (f.type == 'b') snprintf(value, sizeof value, "%u", (get_u32le(p) >> f.bit) & 1u);
    return std::string(f.prompt) + "[" + value + "]:";
}

// Stores `v` in the field as the dialogue does.
void store(Bytes& rec, const Field& f, int32_t v) {
    unsigned char* p = rec.data() + f.offset;
    if (f.type == 'h') put_u16le(p, static_cast<uint16_t>(v));
    if (f.type == 'i') put_i32le(p, v);
    if (f.type == 'f') put_f32le(p, static_cast<float>(v));
    if (f.type == 'b') put_u32le(p, v ? get_u32le(p) | 1u << f.bit : get_u32le(p) & ~(1u << f.bit));
}

// Every question answered below its minimum, above its maximum, then with `last` (its maximum
// or its minimum): the first two are refused, so each prompt shows three times. Returns the
// answers, the expected console text after the heading, and the record as edited.
struct Dialogue {
    std::string input, out;
    Bytes edited;
};
Dialogue limits(std::span<const Field> fields, const Bytes& rec, bool at_max) {
    Dialogue d{"", "", rec};
    for (const Field& f : fields) {
        const int32_t last = at_max ? f.max : f.min;
        d.input += std::to_string(f.min - 1) + "\n" + std::to_string(f.max + 1) + "\n" +
                   std::to_string(last) + "\n";
        d.out += times(prompt(f, rec), 3);
        store(d.edited, f, last);
    }
    return d;
}

TEST_F(Q8Commands, StatusDialogueReadersLimitsAndDefaults) {
    const Bytes rec = filled(346, STATUS_FIELDS);
    for (bool at_max : {true, false}) {
        SCOPED_TRACE(at_max ? "max" : "min");
        fake_qxx::reset();
        fake_qxx::st().replies[8203].push_back(answer(0, rec));
        Dialogue d = limits(STATUS_FIELDS, rec, at_max);
        EXPECT_EQ(run(Q8_cmd_set_status, "ss\n", d.input),
                  std::pair(0, "Set device status\n" + d.out + "\n"));
        EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8203});  // the edited copy is not sent
    }
    // The first integer question (record survey) takes the command line's parameter.
    fake_qxx::reset();
    fake_qxx::st().replies[8203].push_back(answer(0, rec));
    std::string out = "Set device status\n";
    for (const Field& f : STATUS_FIELDS)
        if (std::string(f.prompt) != "record survey:") out += prompt(f, rec);
    EXPECT_EQ(run(Q8_cmd_set_status, "ss 1\n", times("\n", 22)), std::pair(0, out + "\n"));
}

TEST_F(Q8Commands, ParameterDialogueReadersLimitsAndDefaults) {
    const Bytes rec = filled(1400, PARAM_FIELDS);
    for (bool at_max : {true, false}) {
        SCOPED_TRACE(at_max ? "max" : "min");
        fake_qxx::reset();
        fake_qxx::st().replies[8201].push_back(answer(0, rec));
        Dialogue d = limits(PARAM_FIELDS, rec, at_max);
        EXPECT_EQ(run(Q8_cmd_set_params, "sp\n", d.input), std::pair(0, "Params public\n" + d.out));
        ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8201, 8202}));
        EXPECT_EQ(fake_qxx::st().calls[1].request, d.edited);
    }
    // Every answer empty: the record goes back as read.
    fake_qxx::reset();
    fake_qxx::st().replies[8201].push_back(answer(0, rec));
    std::string out = "Params public\n";
    for (const Field& f : PARAM_FIELDS) out += prompt(f, rec);
    EXPECT_EQ(run(Q8_cmd_set_params, "sp\n", times("\n", 21)), std::pair(0, out));
    EXPECT_EQ(fake_qxx::st().calls.back().request, rec);
}

// The status print-out, every field distinct, the pattern between them.
std::string status_text(const char* charger, const char* charging, const char* adapter) {
    return std::string("Status\n") +
           "Status.usb_status         = 3\n"
           "Status.bt_status          = 4\n"
           "Status.wifi_status        = 65535\n"
           "Status.stab_status        = -1\n"
           "Status.alarm              = 40000\n"
           "\n"
           "Status.bat_charger_status = " +
           charger +
           "\n"
           "Status.bat_voltage        = 3987.3 mV\n"
           "Status.bat_gauge          = 87.5%\n"
           "Status.bat_change_rate    = -2.5 %hr\n"
           "battery charging          = " +
           charging +
           "\n"
           "battery ac adapter        = " +
           adapter +
           "\n"
           "\n"
           "Status.gpp_status         = 1\n"
           "\n"
           "Status.gps_power_status   = 6\n"
           "Status.gps_comm_status    = 2\n"
           "Status.gps_latitude       = 47.37690\n"
           "Status.gps_longitude      = -8.54170\n"
           "Status.gps_altitude       = 408.25\n"
           "Status.gps_satellites     = 7\n"
           "Status.gps_time           = 13:5:-9\n"
           "\n"
           "Status.lightsens_status   = 8\n"
           "Status.lightsens_int      = 42\n"
           "Status.lightsens_mono     = 9\n"
           "\n"
           "System status             = a5\n"
           "\n";
}

TEST_F(Q8Commands, StatusPrintOut) {
    Bytes rec = pattern(346);
    put_u16le(&rec[0], 0x00A5);
    put_u16le(&rec[4], 1);
    put_u16le(&rec[6], 3);
    put_u16le(&rec[8], 4);
    put_u16le(&rec[10], 65535);
    put_i32le(&rec[48], 77);  // record survey: not printed
    put_i32le(&rec[52], 40000);
    put_i32le(&rec[56], -1);
    put_f32le(&rec[102], 3987.3f);
    put_f32le(&rec[106], 87.5f);
    put_f32le(&rec[110], -2.5f);
    put_i32le(&rec[174], 6);
    put_i32le(&rec[178], 2);
    put_f32le(&rec[182], 47.3769f);
    put_f32le(&rec[186], -8.5417f);
    put_f32le(&rec[190], 408.25f);
    put_i32le(&rec[194], 7);
    put_i32le(&rec[198], 13);
    put_i32le(&rec[202], 5);
    put_i32le(&rec[206], -9);
    put_i32le(&rec[238], 8);
    put_i32le(&rec[242], 42);
    put_i32le(&rec[246], 9);
    const struct {
        uint32_t flags;
        std::string text;
    } cases[] = {
        {0xFFFFFFF8u | 5u, status_text("Ok", "No", "Connected")},
        {2u, status_text("No comm", "Yes", "Not Connected")},
    };
    for (const auto& c : cases) {
        put_u32le(&rec[98], c.flags);
        fake_qxx::reset();
        fake_qxx::st().replies[8203].push_back(answer(0, rec));
        EXPECT_EQ(run(Q8_cmd_get_status, "sa\n"), std::pair(0, c.text));
        EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8203});
    }
    fake_qxx::reset();
    fake_qxx::st().replies[8203].push_back(answer(4));
    EXPECT_EQ(run(Q8_cmd_get_status, "sa\n"),
              std::pair(-1, std::string("Command Q8_cmd_get_status error(code=4)!\n")));
}

// The parameter print-out over the pattern: u16 fields unsigned, the float thresholds as whole
// numbers (NaN as 0, beyond the int range saturated).
TEST_F(Q8Commands, ParameterPrintOut) {
    Bytes rec = pattern(1400);
    const std::pair<int, int> u16s[] = {{0, 600}, {2, 2},   {4, 1},    {134, 2},     {136, 65535},
                                        {274, 1}, {138, 1}, {272, 99}, {404, 1},     {694, 1},
                                        {552, 1}, {542, 1}, {832, 2},  {834, 40000}, {836, 1}};
    for (auto [at, v] : u16s) put_u16le(&rec[at], static_cast<uint16_t>(v));
    const std::pair<int, int32_t> i32s[] = {{268, -250}, {406, 10}, {414, 11}, {418, -12},
                                            {422, 13},   {562, 8},  {548, 7}};
    for (auto [at, v] : i32s) put_i32le(&rec[at], v);
    const std::pair<int, float> f32s[] = {{554, NAN},    {578, 2147483648.0f}, {582, -3e9f},
                                          {586, -2.99f}, {544, 999.9f},        {566, 0.5f},
                                          {570, 1e30f},  {574, -2147483648.0f}};
    for (auto [at, v] : f32s) put_f32le(&rec[at], v);
    fake_qxx::st().replies[8201].push_back(answer(0, rec));
    EXPECT_EQ(run(Q8_cmd_get_params, "gp\n"),
              std::pair(0, std::string("Params public\n"
                                       "params.ident_time     = 600\n"
                                       "params.dose_units     = 2\n"
                                       "params.record_survey  = 1\n"
                                       "params.contrast       = 2\n"
                                       "params.usb_mode       = 65535\n"
                                       "params.bg_floating    = 1\n"
                                       "params.bg_const       = -250\n"
                                       "params.gps_enable     = 1\n"
                                       "params.bg_acquire_len = 99\n"
                                       "params.gamma_alarm_status           = 1\n"
                                       "params.gamma_alarm_threshold_l1     = 10\n"
                                       "params.gamma_alarm_threshold_l2     = 11\n"
                                       "params.gamma_alarm_threshold_l3     = -12\n"
                                       "params.gamma_alarm_threshold_l4     = 13\n"
                                       "params.neutron_alarm_status         = 1\n"
                                       "params.dose_rate_alarm_status       = 1\n"
                                       "params.dose_rate_alarm_threshold_l1 = 0\n"
                                       "params.dose_rate_alarm_threshold_l2 = 2147483647\n"
                                       "params.dose_rate_alarm_threshold_l3 = -2147483648\n"
                                       "params.dose_rate_alarm_threshold_l4 = -2\n"
                                       "params.dose_rate_alarm_unit         = 8\n"
                                       "params.dose_alarm_status            = 1\n"
                                       "params.dose_alarm_threshold_l1      = 999\n"
                                       "params.dose_alarm_threshold_l2      = 0\n"
                                       "params.dose_alarm_threshold_l3      = 2147483647\n"
                                       "params.dose_alarm_threshold_l4      = -2147483648\n"
                                       "params.dose_alarm_unit              = 7\n"
                                       "params.audio_volume                 = 2\n"
                                       "params.audio_mode                   = 40000\n"
                                       "params.audio_sweep_threshold        = 1\n")));
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8201});
}

// Standard input that hands out one line per read and notes how many requests had been sent
// before each read.
struct Lines {
    std::vector<std::string> left;
    std::vector<size_t> sent_before_read;
};
ssize_t read_line(void* cookie, char* buf, size_t size) {
    auto* in = static_cast<Lines*>(cookie);
    in->sent_before_read.push_back(fake_qxx::st().calls.size());
    if (in->left.empty()) return 0;
    size_t n = std::min(size, in->left.front().size());
    std::memcpy(buf, in->left.front().data(), n);
    in->left.erase(in->left.begin());
    return static_cast<ssize_t>(n);
}

// The accumulation starts after the first Enter and stops after the second, and the command
// reads no further.
TEST_F(Q8Commands, ProceduresWaitForEachEnter) {
    for (Handler cmd : std::initializer_list<Handler>{Q8_cmd_assay, Q8_cmd_cs_stab}) {
        fake_qxx::reset();
        Console con;
        Lines lines{{"\n", "x y\n", "after\n"}, {}};
        FILE* in = fopencookie(&lines, "r", {read_line, nullptr, nullptr, nullptr});
        ASSERT_NE(in, nullptr);
        input_set_stream(in);
        std::string line = "as\n";
        EXPECT_EQ(cmd(line.data(), 0), 0);
        char rest[64];
        input_get(rest, sizeof rest);
        input_set_stream(nullptr);
        fclose(in);
        EXPECT_EQ(lines.sent_before_read, (std::vector<size_t>{0, 1, 2}));
        EXPECT_STREQ(rest, "after\n");
        EXPECT_EQ(fake_qxx::st().calls.size(), 2u);
    }
}

// The instrument's form of the interactive container writer: its default file names, the
// model text and device code in the header.
TEST_F(Q8Commands, ContainerWriterDefaults) {
    std::ofstream("nv52fw.tar") << "abcdefgh";
    std::string line = "cx\n";
    Console con("\n\nn\n1\n2\n");
    EXPECT_EQ(Q8_cmd_create_xfw(line.data()), 0);
    EXPECT_TRUE(
        con.out().starts_with("Enter BIN file name[nv52fw.tar]:Enter XFW file "
                              "name[nv52fw.xfw]:Encrypt file[yes]:Major version:[0]:"
                              "Minor version:[0]:"))
        << con.out();
    std::ifstream f("nv52fw.xfw", std::ios::binary);
    Bytes x(std::istreambuf_iterator<char>(f), {});
    ASSERT_EQ(x.size(), 80u);
    EXPECT_EQ(std::tuple(std::string(x.begin() + 20, x.begin() + 26), get_u32le(&x[44]),
                         get_u32le(&x[48]), Bytes(x.begin() + 72, x.end())),
              std::tuple(std::string("NV-52\0", 6), 12u, 0x0102u, text("abcdefgh")));

    // The offline form: the same header, scrambled as asked.
    EXPECT_EQ(Q8_create_xfw("nv52fw.tar", "o.xfw", 3, 4, 0), 0);
    std::ifstream g("o.xfw", std::ios::binary);
    Bytes o(std::istreambuf_iterator<char>(g), {});
    ASSERT_EQ(o.size(), 80u);
    EXPECT_EQ(std::tuple(std::string(o.begin() + 20, o.begin() + 26), get_u32le(&o[44]),
                         get_u32le(&o[48]), Bytes(o.begin() + 72, o.end())),
              std::tuple(std::string("NV-52\0", 6), 12u, 0x0304u, text("abcdefgh")));
}

// The small commands: their prompts and limits (below, above, then the limit itself), what
// they print and the bytes they send.
struct Case {
    const char* name;
    Handler cmd;
    std::string line, input;
    std::vector<std::pair<int, fake_qxx::Reply>> replies;
    std::pair<int, std::string> result;
    std::vector<std::pair<int, Bytes>> sent;  // code and bytes of every request
};

Bytes le32(int32_t v) {
    Bytes b(4);
    put_i32le(b.data(), v);
    return b;
}
Bytes time_record(std::initializer_list<int32_t> fields) {
    Bytes b;
    for (int32_t f : fields) {
        Bytes one = le32(f);
        b.insert(b.end(), one.begin(), one.end());
    }
    return b;
}

const std::string LEDS = "Set leds.\n";
const std::string LR = "Led left/right:[0]:", UD = "Led up/down:[0]:", EN = "Led enter:[0]:";
const std::string SERIAL_SET = "Enter serial[1234]:";

// clang-format off
const Case CASES[] = {
    {"leds at their maxima", Q8_cmd_set_leds, "sl\n", "4\n-1\n3\n4\n-1\n3\n4\n-1\n3\n", {}, {0, LEDS + times(LR, 3) + times(UD, 3) + times(EN, 3) + "Device leds set.\n"}, {{8301, {0x63, 0x06, 0, 0}}}},
    {"leds at their minima", Q8_cmd_set_leds, "sl 0\n", "0\n0\n", {}, {0, LEDS + UD + EN + "Device leds set.\n"}, {{8301, {0, 0, 0, 0}}}},
    {"leds: left/right alone", Q8_cmd_set_leds, "sl 1\n", "\n\n", {}, {0, LEDS + UD + EN + "Device leds set.\n"}, {{8301, {0x00, 0x02, 0, 0}}}},
    {"leds: up/down alone", Q8_cmd_set_leds, "sl\n", "\n1\n\n", {}, {0, LEDS + LR + UD + EN + "Device leds set.\n"}, {{8301, {0x20, 0, 0, 0}}}},
    {"leds: above 3 on the line", Q8_cmd_set_leds, "sl 4\n", "\n\n2\n", {}, {0, LEDS + LR + UD + EN + "Device leds set.\n"}, {{8301, {0x02, 0, 0, 0}}}},
    {"display: 2 and -1 refused, 0", Q8_cmd_setup_display, "sd 2\n", "-1\n2\n0\n", {}, {0, times("display:[1]:", 3) + "sent command 'SETUP DISPLAY'.\n"}, {{8031, le32(0)}}},
    {"display: 1 typed", Q8_cmd_setup_display, "sd\n", "1\n", {}, {0, "display:[1]:sent command 'SETUP DISPLAY'.\n"}, {{8031, le32(1)}}},
    {"display: 1 on the line", Q8_cmd_setup_display, "sd 1\n", "", {}, {0, "sent command 'SETUP DISPLAY'.\n"}, {{8031, le32(1)}}},
    {"gps: 0 on the line", Q8_cmd_set_gps_power_status, "gp 0\n", "", {{8204, answer(0, le32(1))}}, {0, ""}, {{8204, {}}, {8205, le32(0)}}},
    {"gps: 2 and -1 refused, 1", Q8_cmd_set_gps_power_status, "gp 2\n", "-1\n2\n1\n", {{8204, answer(0, le32(0))}}, {0, times("gps power status:[0]:", 3)}, {{8204, {}}, {8205, le32(1)}}},
    {"gps: the read refused", Q8_cmd_set_gps_power_status, "gp 1\n", "", {{8204, answer(3)}}, {-1, "Command Q8_cmd_set_gps_power_status error(code=3)!\n"}, {{8204, {}}}},
    {"gps: an empty reply reads as 0", Q8_cmd_set_gps_power_status, "gp\n", "\n", {{8204, answer(0)}}, {0, "gps power status:[0]:"}, {{8204, {}}, {8205, le32(0)}}},
    {"gps: a value out of range read, kept", Q8_cmd_set_gps_power_status, "gp\n", "\n", {{8204, answer(0, le32(-7))}}, {0, "gps power status:[-7]:"}, {{8204, {}}, {8205, le32(-7)}}},
    {"background refused", Q8_cmd_reacquire_bg, "bg\n", "", {{8210, answer(255)}}, {-1, "Command Q8_cmd_reacquire_bg error(code=255)!\n"}, {{8210, {}}}},
    {"leds refused", Q8_cmd_set_leds, "sl 3\n", "\n\n", {{8301, answer(1)}}, {-1, LEDS + UD + EN + "Command Q8_cmd_set_leds error(code=1)!\n"}, {{8301, {0x00, 0x06, 0, 0}}}},
    {"power off", Q8_cmd_power_off, "pw\n", "", {}, {0, "Sent 'Power off' command.\n"}, {{8400, {}}}},
    {"power off refused", Q8_cmd_power_off, "pw\n", "", {{8400, answer(255)}}, {-1, "Command Q8_cmd_power_off error(code=255)!\n"}, {{8400, {}}}},
    {"assay", Q8_cmd_assay, "as\n", "\n\n", {}, {0, "______________________________________________\n| Insert sample and press ENTER              |\n______________________________________________\n"}, {{8309, {}}, {8309, {}}}},
    {"assay stop refused", Q8_cmd_assay, "as\n", "\n\n", {{8309, answer(0)}, {8309, answer(2)}}, {-1, "______________________________________________\n| Insert sample and press ENTER              |\n______________________________________________\nCommand Q8_cmd_assay error(code=2)!\n"}, {{8309, {}}, {8309, {}}}},
    {"cs stab", Q8_cmd_cs_stab, "cs\n", "\n\n", {}, {0, "______________________________________________\n| Insert Cs-137 and press ENTER              |\n______________________________________________\n"}, {{8304, {}}, {8305, {}}}},
    {"cs stab start refused", Q8_cmd_cs_stab, "cs\n", "\n\n", {{8304, answer(1)}}, {-1, "______________________________________________\n| Insert Cs-137 and press ENTER              |\n______________________________________________\nCommand Q8_cmd_cs_stab error(code=1)!\n"}, {{8304, {}}}},
    {"get serial", Q8_cmd_get_serial, "gs\n", "", {{8007, answer(0, text("B0001234"))}}, {0, "Serial = B0001234\n"}, {{8007, {}}}},
    {"set serial, B and the four typed", Q8_cmd_set_serial, "ss\n", "12345\n123\n9876\n", {{8007, answer(0, text("B0001234"))}}, {0, times(SERIAL_SET, 3) + "Setting serial to:B0009876\n"}, {{8007, {}}, {8104, text("B0009876")}}},
    {"set serial, four on the line", Q8_cmd_set_serial, "ss ab12\n", "", {{8007, answer(0, text("B0001234"))}}, {0, "Setting serial to:B000ab12\n"}, {{8007, {}}, {8104, text("B000ab12")}}},
    {"set serial, a short serial read", Q8_cmd_set_serial, "ss\n", "\n", {{8007, answer(0, text("B12"))}}, {0, "Enter serial[0000]:Setting serial to:B0000000\n"}, {{8007, {}}, {8104, text("B0000000")}}},
    {"get time", Q8_cmd_get_time, "gt\n", "", {{8002, answer(0, time_record({2026, 1, 2, 3, 4, 5}))}}, {0, "Device time: 2026/01/02  03:04:05\n"}, {{8002, {}}}},
    {"get time refused", Q8_cmd_get_time, "gt\n", "", {{8002, answer(6)}}, {-1, "Command Q5_cmd_get_time error(code=6)!\n"}, {{8002, {}}}},
};
// clang-format on

TEST_F(Q8Commands, SmallCommandsLimitsTextsAndBytes) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        for (const auto& [code, reply] : c.replies) fake_qxx::st().replies[code].push_back(reply);
        EXPECT_EQ(run(c.cmd, c.line, c.input), c.result);
        std::vector<std::pair<int, Bytes>> sent;
        for (const auto& call : fake_qxx::st().calls) {
            sent.emplace_back(call.code, call.request);
            EXPECT_EQ(std::pair(call.handle, call.wait), std::pair(7, 1));
        }
        EXPECT_EQ(sent, c.sent);
    }
}

// Power off and the event display need no connection; power off then reports the link's error.
TEST_F(Q8Commands, WithoutADevice) {
    connected = 0;
    fake_qxx::st().replies[8400].push_back(answer(-1));
    EXPECT_EQ(run(Q8_cmd_power_off, "pw\n"),
              std::pair(-1, std::string("Command Q8_cmd_power_off error(code=-1)!\n")));
    // Its answer holds 64 characters at most.
    EXPECT_EQ(run(Q8_cmd_display_events, "de\n", std::string(65, 'x') + "\n\n"),
              std::pair(0, times("Enter to exit[]:", 2)));
    EXPECT_EQ(run(Q8_cmd_display_events, "de\n", std::string(64, 'x') + "\n\n"),
              std::pair(0, std::string("Enter to exit[]:")));
    for (Handler cmd : std::initializer_list<Handler>{
             Q8_cmd_get_fw_version, Q8_cmd_get_status, Q8_cmd_assay, Q8_cmd_cs_stab,
             Q8_cmd_get_serial, Q8_cmd_set_serial, Q8_cmd_get_time, Q8_cmd_set_time})
        EXPECT_EQ(run(cmd, "xx 1\n", "\n\n"),
                  std::pair(-1, std::string("\nDevice not connected!\n")));
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8400});
}

// Standard input whose every read first delivers a keyboard event, as the link's thread would
// while the operator has not yet answered.
ssize_t read_after_event(void* cookie, char* buf, size_t size) {
    auto* left = static_cast<std::string*>(cookie);
    Bytes key(8, 0);
    put_i32le(key.data() + 4, 7);
    Q8_event_keyboard_data(7, nullptr, frame_of(10003, key).data(), 0);
    size_t n = std::min(size, left->size());
    std::memcpy(buf, left->data(), n);
    left->erase(0, n);
    return static_cast<ssize_t>(n);
}

// The key, status, total and light-sensor lines show only while the command waits for Enter.
TEST_F(Q8Commands, DisplayEventsOpensTheEventLinesUntilEnter) {
    Console con;
    std::string answer_line = "anything at all\n";
    FILE* in = fopencookie(&answer_line, "r", {read_after_event, nullptr, nullptr, nullptr});
    ASSERT_NE(in, nullptr);
    input_set_stream(in);
    Q8_event_status_data(7, nullptr, nullptr, 0);
    std::string line = "de\n";
    EXPECT_EQ(Q8_cmd_display_events(line.data(), 0), 0);
    Q8_event_total_data(7, nullptr, nullptr, 0);
    input_set_stream(nullptr);
    fclose(in);
    EXPECT_EQ(con.out(), "Enter to exit[]:Keyboard event: Key=7\n");
}

TEST_F(Q8Commands, MenuRows) {
    menu m;
    menu_init(&m);
    EXPECT_EQ(Q8_cmd_create_menu(&m, 0), 0);
    const std::vector<menu_handler> handlers = {
        Q8_cmd_get_fw_version, Q8_cmd_get_status, Q8_cmd_get_time,
        Q8_cmd_set_time,       Q8_cmd_upload_xfw, Q8_cmd_flash_fw,
        Q8_cmd_power_off,      Q8_cmd_assay,      Q8_cmd_cs_stab};
    ASSERT_EQ(m.count, 9);
    for (int i = 0; i < m.count; ++i) EXPECT_EQ(m.entries[i].handler, handlers[i]) << i;
    Console con;
    menu_print(&m);
    EXPECT_EQ(con.out(),
              "[ he] help\n"
              "[ ve] version    - displays device firmware version\n"
              "[ sa] status     - displays device status\n"
              "[ gt] get time   - displays device date/time\n"
              "[ st] set time   - sets device date/time\n"
              "[ up] upload xfw - uploads firmware file\n"
              "[ fl] flash  fw  - flash firmware\n"
              "[ pw] power off  - Power off device\n"
              "[ as] assay      - start assay\n"
              "[ cs] cs stab    - cs stabilization\n");
}

}  // namespace
