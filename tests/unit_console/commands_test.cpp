// The console commands the menu does not offer (they are reached only through the command table)
// and the paths of the offered ones the simulator cannot produce: what each sends, what it prints
// and what it refuses to send.
#include <cmath>

#include "fixture.h"
#include "q5_cmds.h"
#include "q8_cmds.h"
#include "q8_comm.h"

namespace {

using Commands = Linked;
using Handler = std::function<int(char*, int)>;
using Replies = std::vector<std::pair<int, fake_qxx::Reply>>;

// A record with little-endian fields: offset, type ('h' u16, 'i' i32, 'u' u32, 'f' f32), value.
Bytes record(size_t size, std::initializer_list<std::tuple<int, char, double>> fields) {
    Bytes b(size, 0);
    for (auto [off, type, v] : fields) {
        unsigned char* p = b.data() + off;
        if (type == 'h') put_u16le(p, static_cast<uint16_t>(v));
        if (type == 'i') put_i32le(p, static_cast<int32_t>(v));
        if (type == 'u') put_u32le(p, static_cast<uint32_t>(v));
        if (type == 'f') put_f32le(p, static_cast<float>(v));
    }
    return b;
}

const Bytes PARAMS = record(
    1400, {{0, 'h', 120},     {2, 'h', 1},      {4, 'h', 1},     {134, 'h', 2}, {138, 'h', 1},
           {268, 'i', 250},   {272, 'h', 60},   {274, 'h', 1},   {404, 'h', 1}, {406, 'i', 5},
           {410, 'i', 99},    {414, 'i', 6},    {418, 'i', 7},   {422, 'i', 8}, {542, 'h', 1},
           {544, 'f', 12.75}, {548, 'i', 3},    {554, 'f', 0.5}, {562, 'i', 4}, {566, 'f', 20.9},
           {570, 'f', 30.1},  {574, 'f', 1e20},  // beyond int: saturates, no undefined cast
           {578, 'f', 1.99},  {582, 'f', -2.5}, {586, 'f', 3.0}, {694, 'h', 1}, {832, 'h', 2},
           {834, 'h', 1},     {836, 'h', 65535}});

Bytes versions() {
    Bytes v(415, 0);
    const char* texts[] = {"1.2.3", "fs-7", "gui 2", "tv 1", "gpp 9"};
    for (int i = 0; i < 5; ++i) std::memcpy(v.data() + 32 * i, texts[i], std::strlen(texts[i]));
    std::memset(v.data() + 160, 'K', 32);  // full width: no terminator
    std::memset(v.data() + 192, 'X', 223);
    return v;
}

Handler with_prefix(int prefix) {
    return [prefix](char* l, int) { return Q5_cmd_set_serial(l, prefix); };
}
const std::string LINE = "______________________________________________\n";
const std::string CS_BOX = LINE + "| Insert Cs-137 and press ENTER              |\n" + LINE;
const std::string SAMPLE_BOX = LINE + "| Insert sample and press ENTER              |\n" + LINE;
const std::string PARAMS_PROMPTS =
    "Params public\nIdentify time:[0]:Dose units:[0]:Record survey:[0]:Contrast:[0]:"
    "USB mode:[0]:Floating BG:[0]:BG const:[0]:GPS enable:[0]:BG acquire:[0]:"
    "Gamma alarm status:[0]:Gamma alarm threshold level 1:[0]:Neutron alarm status:[0]:"
    "Dose alarm status:[0]:Dose rate alarm status:[0]:Dose rate alarm threshold level 1:[0.000]:"
    "Dose rate alarm unit:[0]:Dose alarm threshold level 1:[0.000]:Dose alarm unit:[0]:"
    "Audio volume:[0]:Audio mode:[0]:Sweep threshold:[0]:";

struct Case {
    const char* name;
    Handler cmd;
    std::string line, input;
    Replies replies;
    int result;
    std::string out;
    std::vector<int> sent;  // request codes
    Bytes last;             // the last request's bytes
};

// clang-format off
const Case CASES[] = {
    {"set serial, B prefix", with_prefix('B'), "ss\n", "5678\n", {{8007, answer(0, text("B0001234"))}}, 0, "Enter serial[1234]:Setting serial to:B0005678\n", {8007, 8104}, text("B0005678")},
    {"restart", Q5_cmd_restart, "re\n", "", {}, 0, "Restarting device.\n", {8021}, {}},
    {"display from line", Q8_cmd_setup_display, "sd 0\n", "", {}, 0, "sent command 'SETUP DISPLAY'.\n", {8031}, {0, 0, 0, 0}},
    {"display prompted", Q8_cmd_setup_display, "sd\n", "\n", {{8031, answer(255)}}, -1, "display:[1]:Command Q8_cmd_setup_display error(code=255)!\n", {8031}, {1, 0, 0, 0}},
    {"leds 3 2 1", Q8_cmd_set_leds, "sl\n", "3\n2\n1\n", {}, 0, "Set leds.\nLed left/right:[0]:Led up/down:[0]:Led enter:[0]:Device leds set.\n", {8301}, {0x41, 0x06, 0, 0}},
    {"leds, first from line", Q8_cmd_set_leds, "sl 2\n", "9\n\n3\n", {{8301, answer(1)}}, -1, "Set leds.\nLed up/down:[0]:Led up/down:[0]:Led enter:[0]:Command Q8_cmd_set_leds error(code=1)!\n", {8301}, {0x03, 0x04, 0, 0}},
    {"background", Q8_cmd_reacquire_bg, "bg\n", "", {}, 0, "Command 'Reacquire background' was sent.\n", {8210}, {}},
    {"gps keeps", Q8_cmd_set_gps_power_status, "gp\n", "\n", {{8204, answer(0, {1, 0, 0, 0})}}, 0, "gps power status:[1]:", {8204, 8205}, {1, 0, 0, 0}},
    {"gps off", Q8_cmd_set_gps_power_status, "gp\n", "0\n", {{8204, answer(0, {1, 0, 0, 0})}, {8205, answer(255)}}, -1, "gps power status:[1]:Command Q8_cmd_set_gps_power_status error(code=255)!\n", {8204, 8205}, {0, 0, 0, 0}},
    {"events", Q8_cmd_display_events, "de\n", "\n", {}, 0, "Enter to exit[]:", {}, {}},
    {"cs stab stop refused", Q8_cmd_cs_stab, "cs\n", "\n\n", {{8305, answer(255)}}, -1, CS_BOX + "Command Q8_cmd_cs_stab error(code=255)!\n", {8304, 8305}, {}},
    {"assay start refused", Q8_cmd_assay, "as\n", "\n\n", {{8309, answer(255)}}, -1, SAMPLE_BOX + "Command Q8_cmd_assay error(code=255)!\n", {8309}, {}},
    {"versions, full-width field", Q8_cmd_get_fw_version, "ve\n", "", {{8001, answer(0, versions())}}, 0, "\nVersions\nOverall\t\t= 1.2.3\nFile system\t= fs-7\nGui\t\t= gui 2\nTalvek\t\t= tv 1\nGpp\t\t= gpp 9\nKernel\t\t= " + std::string(32, 'K') + "\n\n", {8001}, {}},
    {"status unread", Q8_cmd_set_status, "ss\n", "", {{8203, answer(255)}}, -1, "Command Q8_cmd_set_status error(code=255)!\n", {8203}, {}},
    {"parameters", Q8_cmd_get_params, "gp\n", "", {{8201, answer(0, PARAMS)}}, 0,
     "Params public\nparams.ident_time     = 120\nparams.dose_units     = 1\nparams.record_survey  = 1\n"
     "params.contrast       = 2\nparams.usb_mode       = 0\nparams.bg_floating    = 1\nparams.bg_const       = 250\n"
     "params.gps_enable     = 1\nparams.bg_acquire_len = 60\nparams.gamma_alarm_status           = 1\n"
     "params.gamma_alarm_threshold_l1     = 5\nparams.gamma_alarm_threshold_l2     = 6\n"
     "params.gamma_alarm_threshold_l3     = 7\nparams.gamma_alarm_threshold_l4     = 8\n"
     "params.neutron_alarm_status         = 1\nparams.dose_rate_alarm_status       = 0\n"
     "params.dose_rate_alarm_threshold_l1 = 0\nparams.dose_rate_alarm_threshold_l2 = 1\n"
     "params.dose_rate_alarm_threshold_l3 = -2\nparams.dose_rate_alarm_threshold_l4 = 3\n"
     "params.dose_rate_alarm_unit         = 4\nparams.dose_alarm_status            = 1\n"
     "params.dose_alarm_threshold_l1      = 12\nparams.dose_alarm_threshold_l2      = 20\n"
     "params.dose_alarm_threshold_l3      = 30\nparams.dose_alarm_threshold_l4      = 2147483647\n"
     "params.dose_alarm_unit              = 3\nparams.audio_volume                 = 2\n"
     "params.audio_mode                   = 1\nparams.audio_sweep_threshold        = 65535\n", {8201}, {}},
    {"parameters unread", Q8_cmd_get_params, "gp\n", "", {{8201, answer(255)}}, -1, "Command Q8_cmd_get_params error(code=255)!\n", {8201}, {}},
    {"parameter dialogue", Q8_cmd_set_params, "sp\n", times("\n", 21), {{8201, answer(0, Bytes(1400))}}, 0, PARAMS_PROMPTS, {8201, 8202}, Bytes(1400)},
    {"parameter write refused", Q8_cmd_set_params, "sp\n", times("\n", 21), {{8201, answer(0, Bytes(1400))}, {8202, answer(1)}}, -1, PARAMS_PROMPTS + "Command Q8_cmd_set_params error(code=1)!\n", {8201, 8202}, Bytes(1400)},
};
// clang-format on

TEST_F(Commands, SendAndPrint) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        for (const auto& [code, reply] : c.replies) fake_qxx::st().replies[code].push_back(reply);
        EXPECT_EQ(run(c.cmd, c.line, c.input), std::pair(c.result, c.out));
        EXPECT_EQ(fake_qxx::codes(), c.sent);
        if (!c.last.empty()) {
            EXPECT_EQ(fake_qxx::st().calls.back().request, c.last);
        }
        EXPECT_EQ(fake_qxx::st().disconnects, c.sent == std::vector<int>{8021} && c.result == 0);
    }
}

TEST_F(Commands, WithoutADeviceNothingIsSent) {
    connected = 0;
    for (Handler cmd : std::initializer_list<Handler>{
             Q5_cmd_get_serial, with_prefix('B'), Q5_cmd_restart, Q8_cmd_setup_display,
             Q8_cmd_set_leds, Q8_cmd_set_gps_power_status, Q8_cmd_reacquire_bg, Q8_cmd_set_status,
             Q8_cmd_get_params, Q8_cmd_set_params,
             [](char*l, int) { return Q5_cmd_upload_xfw(l, "x", 12, -1); },
             [](char*l, int) { return Q5_cmd_flash_fw(l, "x"); }}) {
        EXPECT_EQ(run(cmd, "xx 1\n", "1\n1\n1\n"),
                  std::pair(-1, std::string("\nDevice not connected!\n")));
    }
    EXPECT_TRUE(fake_qxx::st().calls.empty());
}

// The dialogue writes back the record as it was read, bit for bit (a NaN included), but for the
// fields the operator changed; a record that is not whole is never written back.
TEST_F(Commands, ParameterDialogueWritesBackOnlyAWholeRecordAndOnlyWhatChanged) {
    Bytes random(1400);
    for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<unsigned char>(i * 37 + 11);
    put_u32le(random.data() + 554, 0x7FA00001u);  // a signalling NaN
    struct {
        Bytes record;
        std::string line, input;
        int at, kind;  // the one change expected in the record sent: offset, 2 (u16) or 4 (i32)
        int32_t value;
    } cases[] = {
        {random, "sp\n", times("\n", 21), -1, 0, 0},
        {Bytes(1400), "sp\n", times("\n", 4) + "1\n" + times("\n", 16), 136, 2, 1},
        {Bytes(1400), "sp 500\n", times("\n", 20), 268, 4, 500},
    };
    for (const auto& c : cases) {
        fake_qxx::reset();
        fake_qxx::st().replies[8201].push_back(answer(0, c.record));
        EXPECT_EQ(run(Q8_cmd_set_params, c.line, c.input).first, 0);
        Bytes expected = c.record;
        if (c.kind == 2) put_u16le(expected.data() + c.at, static_cast<uint16_t>(c.value));
        if (c.kind == 4) put_i32le(expected.data() + c.at, c.value);
        ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8201, 8202})) << c.line;
        EXPECT_EQ(fake_qxx::st().calls[1].request, expected) << c.line;
    }
    for (auto [payload, copied] :
         {std::pair(Bytes(1399, 1), 1399), std::pair(Bytes(), 0), std::pair(Bytes(1401, 1), 0)}) {
        fake_qxx::reset();
        fake_qxx::st().replies[8201].push_back(answer(0, payload));
        EXPECT_EQ(run(Q8_cmd_set_params, "sp\n", times("\n", 21)),
                  std::pair(-1, "Command Q8_cmd_set_params error: incomplete parameter record (" +
                                    std::to_string(copied) + " of 1400 bytes)!\n"));
        EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8201});
    }
}

}  // namespace
