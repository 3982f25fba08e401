// The instrument's console commands against the fake link: what each sends, what it prints, and
// what it refuses to send.
#include "q8_cmds.h"
#include "q8_comm.h"
#include "q8_support.h"

namespace {

using Q8Cmds = Q8Test;
using Handler = int (*)(char*, int);

TEST_F(Q8Cmds, WithoutConnectionCommandsSendNothing) {
    struct Case {
        const char* name;
        Handler handler;
        bool own_message;  // the delegating commands report through the Q5 commands
    } cases[] = {
        {"version", Q8_cmd_get_fw_version, true},
        {"display", Q8_cmd_setup_display, true},
        {"leds", Q8_cmd_set_leds, true},
        {"assay", Q8_cmd_assay, true},
        {"cs", Q8_cmd_cs_stab, true},
        {"gps", Q8_cmd_set_gps_power_status, true},
        {"bg", Q8_cmd_reacquire_bg, true},
        {"status", Q8_cmd_get_status, true},
        {"set status", Q8_cmd_set_status, true},
        {"params", Q8_cmd_get_params, true},
        {"set params", Q8_cmd_set_params, true},
        {"get serial", Q8_cmd_get_serial, false},
        {"set serial", Q8_cmd_set_serial, false},
        {"get time", Q8_cmd_get_time, false},
        {"set time", Q8_cmd_set_time, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        connected = 0;
        Console con("1\n1\n1\n\n\n");
        Line line("x\n");
        EXPECT_EQ(c.handler(line.buf, 0), -1);
        EXPECT_TRUE(fake_qxx::calls().empty());
        if (c.own_message) {
            EXPECT_EQ(con.out(), "\nDevice not connected!\n");
        }
    }
}

TEST_F(Q8Cmds, CommandsSendTheirRequestsAndPrintTheirLines) {
    struct Case {
        const char* name;
        Handler handler;
        std::string line, input;
        std::vector<std::pair<int, Bytes>> sent;  // code, request bytes
        std::string out;
    } cases[] = {
        {"display from line",
         Q8_cmd_setup_display,
         "sd 0\n",
         "",
         {{8031, {0, 0, 0, 0}}},
         "sent command 'SETUP DISPLAY'.\n"},
        {"display prompted",
         Q8_cmd_setup_display,
         "sd\n",
         "\n",
         {{8031, {1, 0, 0, 0}}},
         "display:[1]:sent command 'SETUP DISPLAY'.\n"},
        {"leds 3 2 1",
         Q8_cmd_set_leds,
         "sl\n",
         "3\n2\n1\n",
         {{8301, {0x41, 0x06, 0, 0}}},
         "Set leds.\nLed left/right:[0]:Led up/down:[0]:Led enter:[0]:Device leds set.\n"},
        {"leds first from line",
         Q8_cmd_set_leds,
         "sl 2\n",
         "9\n\n3\n",
         {{8301, {0x03, 0x04, 0, 0}}},
         "Set leds.\nLed up/down:[0]:Led up/down:[0]:Led enter:[0]:Device leds set.\n"},
        {"power off", Q8_cmd_power_off, "pw\n", "", {{8400, {}}}, "Sent 'Power off' command.\n"},
        {"background",
         Q8_cmd_reacquire_bg,
         "bg\n",
         "",
         {{8210, {}}},
         "Command 'Reacquire background' was sent.\n"},
        {"assay",
         Q8_cmd_assay,
         "as\n",
         "\n\n",
         {{8309, {}}, {8309, {}}},
         "______________________________________________\n"
         "| Insert sample and press ENTER              |\n"
         "______________________________________________\n"},
        {"cs stab",
         Q8_cmd_cs_stab,
         "cs\n",
         "\n\n",
         {{8304, {}}, {8305, {}}},
         "______________________________________________\n"
         "| Insert Cs-137 and press ENTER              |\n"
         "______________________________________________\n"},
        {"events", Q8_cmd_display_events, "de\n", "\n", {}, "Enter to exit[]:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        Console con(c.input);
        Line line(c.line);
        EXPECT_EQ(c.handler(line.buf, 0), 0);
        EXPECT_EQ(con.out(), c.out);
        ASSERT_EQ(fake_qxx::calls().size(), c.sent.size());
        for (size_t i = 0; i < c.sent.size(); ++i) {
            EXPECT_EQ(fake_qxx::calls()[i].code, c.sent[i].first);
            EXPECT_EQ(fake_qxx::calls()[i].request, c.sent[i].second);
            EXPECT_EQ(fake_qxx::calls()[i].handle, 7);
            EXPECT_EQ(fake_qxx::calls()[i].wait, 1);
        }
    }
}

TEST_F(Q8Cmds, PowerOffGoesOutEvenWhenNotConnectedAndEventsCloseAfterTheWait) {
    connected = 0;
    Console con("\n");
    Line line("pw\n");
    fake_qxx::push_reply(8400, failure(255));
    EXPECT_EQ(Q8_cmd_power_off(line.buf, 0), -1);
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8400});
    EXPECT_EQ(con.err(), "Command Q8_cmd_power_off error(code=255)!\n");

    con.clear();
    Q8_cmd_display_events(line.buf, 0);
    Bytes key(8);
    set_i32(key, 4, 7);
    Q8_event_keyboard_data(7, nullptr, frame_of(10003, key).data(), 0);
    EXPECT_EQ(con.out(), "Enter to exit[]:");  // EVENTS is off again
}

TEST_F(Q8Cmds, GpsPowerOffersTheDeviceValueAndSendsTheAnswer) {
    for (const char* answer : {"\n", "0\n"}) {
        fake_qxx::reset();
        Console con(answer);
        Line line("gp\n");
        fake_qxx::push_reply(8204, reply({1, 0, 0, 0}));
        EXPECT_EQ(Q8_cmd_set_gps_power_status(line.buf, 0), 0);
        EXPECT_EQ(con.out(), "gps power status:[1]:");
        ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8204, 8205}));
        Bytes expected = {static_cast<unsigned char>(answer[0] == '\n' ? 1 : 0), 0, 0, 0};
        EXPECT_EQ(fake_qxx::calls()[1].request, expected);
    }
}

TEST_F(Q8Cmds, FailedRequestEndsTheCommandWithItsName) {
    struct Case {
        Handler handler;
        int failing_code;
        const char* name;
        std::vector<int> sent;
    } cases[] = {
        {Q8_cmd_get_fw_version, 8001, "Q8_cmd_get_fw_version", {8001}},
        {Q8_cmd_setup_display, 8031, "Q8_cmd_setup_display", {8031}},
        {Q8_cmd_set_leds, 8301, "Q8_cmd_set_leds", {8301}},
        {Q8_cmd_assay, 8309, "Q8_cmd_assay", {8309}},  // no stop after a failed start
        {Q8_cmd_cs_stab, 8304, "Q8_cmd_cs_stab", {8304}},
        {Q8_cmd_cs_stab, 8305, "Q8_cmd_cs_stab", {8304, 8305}},
        {Q8_cmd_set_gps_power_status, 8204, "Q8_cmd_set_gps_power_status", {8204}},
        {Q8_cmd_set_gps_power_status, 8205, "Q8_cmd_set_gps_power_status", {8204, 8205}},
        {Q8_cmd_reacquire_bg, 8210, "Q8_cmd_reacquire_bg", {8210}},
        {Q8_cmd_get_status, 8203, "Q8_cmd_get_status", {8203}},
        {Q8_cmd_set_status, 8203, "Q8_cmd_set_status", {8203}},
        {Q8_cmd_get_params, 8201, "Q8_cmd_get_params", {8201}},
        {Q8_cmd_set_params, 8201, "Q8_cmd_set_params", {8201}},
        {Q8_cmd_set_params, 8202, "Q8_cmd_set_params", {8201, 8202}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.failing_code));
        fake_qxx::reset();
        if (c.failing_code != 8201) fake_qxx::push_reply(8201, reply(Bytes(1400)));
        fake_qxx::push_reply(c.failing_code, failure(255));
        Console con(repeat("\n", 30));
        Line line("x\n");
        EXPECT_EQ(c.handler(line.buf, 0), -1);
        EXPECT_EQ(con.err(), "Command " + std::string(c.name) + " error(code=255)!\n");
        EXPECT_EQ(fake_qxx::codes(), c.sent);
    }
}

TEST_F(Q8Cmds, VersionsPrintSixFieldsUpToTheirNulOr32Bytes) {
    Bytes v(415, 0);
    const char* texts[] = {"1.2.3", "fs-7", "gui 2", "tv 1", "gpp 9"};
    for (int i = 0; i < 5; ++i) memcpy(v.data() + 32 * i, texts[i], strlen(texts[i]));
    memset(v.data() + 160, 'K', 32);  // full width: no terminator
    memset(v.data() + 192, 'X', 223);
    fake_qxx::push_reply(8001, reply(v));
    Console con;
    Line line("ve\n");
    EXPECT_EQ(Q8_cmd_get_fw_version(line.buf, 0), 0);
    EXPECT_EQ(con.out(),
              "\nVersions\nOverall\t\t= 1.2.3\nFile system\t= fs-7\nGui\t\t= gui 2\n"
              "Talvek\t\t= tv 1\nGpp\t\t= gpp 9\nKernel\t\t= " +
                  std::string(32, 'K') + "\n\n");
}

Bytes status_record(uint32_t flags) {
    Bytes s(346, 0);
    set_u16(s, 0, 0x00A5);
    set_u16(s, 4, 1);
    set_u16(s, 6, 1);
    set_u16(s, 10, 1);
    set_i32(s, 48, 1);
    set_i32(s, 52, 3);
    set_i32(s, 56, 1);
    set_u32(s, 98, flags);
    set_f32(s, 102, 3712.5f);
    set_f32(s, 106, 87.5f);
    set_f32(s, 110, -1.5f);
    set_i32(s, 174, 1);
    set_i32(s, 178, 2);
    set_f32(s, 182, 51.5f);
    set_f32(s, 186, -0.125f);
    set_f32(s, 190, 123.456f);
    set_i32(s, 194, 7);
    set_i32(s, 198, 12);
    set_i32(s, 202, 5);
    set_i32(s, 206, 9);
    set_i32(s, 238, 1);
    set_i32(s, 242, 55);
    return s;
}

TEST_F(Q8Cmds, StatusPrintOut) {
    struct Case {
        uint32_t flags;
        const char* charger;
        const char* charging;
        const char* adapter;
    } cases[] = {
        {0b101, "Ok", "No", "Connected"},
        {0b010, "No comm", "Yes", "Not Connected"},
    };
    for (const auto& c : cases) {
        fake_qxx::reset();
        fake_qxx::push_reply(8203, reply(status_record(c.flags)));
        Console con;
        Line line("sa\n");
        EXPECT_EQ(Q8_cmd_get_status(line.buf, 0), 0);
        EXPECT_EQ(con.out(), std::string("Status\n"
                                         "Status.usb_status         = 1\n"
                                         "Status.bt_status          = 0\n"
                                         "Status.wifi_status        = 1\n"
                                         "Status.stab_status        = 1\n"
                                         "Status.alarm              = 3\n"
                                         "\n"
                                         "Status.bat_charger_status = ") +
                                 c.charger +
                                 "\n"
                                 "Status.bat_voltage        = 3712.5 mV\n"
                                 "Status.bat_gauge          = 87.5%\n"
                                 "Status.bat_change_rate    = -1.5 %hr\n"
                                 "battery charging          = " +
                                 c.charging +
                                 "\n"
                                 "battery ac adapter        = " +
                                 c.adapter +
                                 "\n"
                                 "\n"
                                 "Status.gpp_status         = 1\n"
                                 "\n"
                                 "Status.gps_power_status   = 1\n"
                                 "Status.gps_comm_status    = 2\n"
                                 "Status.gps_latitude       = 51.50000\n"
                                 "Status.gps_longitude      = -0.12500\n"
                                 "Status.gps_altitude       = 123.46\n"
                                 "Status.gps_satellites     = 7\n"
                                 "Status.gps_time           = 12:5:9\n"
                                 "\n"
                                 "Status.lightsens_status   = 1\n"
                                 "Status.lightsens_int      = 55\n"
                                 "Status.lightsens_mono     = 0\n"
                                 "\n"
                                 "System status             = a5\n"
                                 "\n");
    }
}

TEST_F(Q8Cmds, StatusDialogueShowsEveryFieldAndSendsNothingBack) {
    fake_qxx::push_reply(8203, reply(status_record(0b101)));
    Console con("2\n" + repeat("\n", 22));  // 2 is out of range: asked again
    Line line("ss 0\n");                    // taken by "record survey:", the first integer question
    EXPECT_EQ(Q8_cmd_set_status(line.buf, 0), 0);
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8203});
    EXPECT_EQ(con.out(),
              "Set device status\n"
              "wifi status:[1]:wifi status:[1]:usb status:[1]:bluetooth status:[0]:"
              "system status:[165]:stab status:[1]:alarm status:[3]:bat. charger status:[1]:"
              "bat. voltage [mV] :[3712.500]:bat. gauge [%]:[87.500]:"
              "bat. change rate [%%hr]:[-1.500]:bat. charging:[0]:bat. ac adapter:[1]:"
              "GPP status:[1]:GPS Power status:[1]:GPS comm status:[2]:GPS latitude:[51.500]:"
              "GPS longitude:[-0.125]:GPS Altitude [m]:[123.456]:GPS satellites:[7]:"
              "Light sensor status:[1]:Light sensor intensity:[55]:Light sensor mono:[0]:\n");
}

Bytes params_record() {
    Bytes p(1400, 0);
    set_u16(p, 0, 120);
    set_u16(p, 2, 1);
    set_u16(p, 4, 1);
    set_u16(p, 134, 2);
    set_u16(p, 138, 1);
    set_i32(p, 268, 250);
    set_u16(p, 272, 60);
    set_u16(p, 274, 1);
    set_u16(p, 404, 1);
    set_i32(p, 406, 5);
    set_i32(p, 410, 99);
    set_i32(p, 414, 6);
    set_i32(p, 418, 7);
    set_i32(p, 422, 8);
    set_u16(p, 542, 1);
    set_f32(p, 544, 12.75f);
    set_i32(p, 548, 3);
    set_f32(p, 554, 0.5f);
    set_i32(p, 562, 4);
    set_f32(p, 566, 20.9f);
    set_f32(p, 570, 30.1f);
    set_f32(p, 574, 1e20f);  // beyond int: saturates instead of undefined behaviour
    set_f32(p, 578, 1.99f);
    set_f32(p, 582, -2.5f);
    set_f32(p, 586, 3.0f);
    set_u16(p, 694, 1);
    set_u16(p, 832, 2);
    set_u16(p, 834, 1);
    set_u16(p, 836, 65535);  // u16 fields print unsigned
    return p;
}

TEST_F(Q8Cmds, ParameterPrintOut) {
    fake_qxx::push_reply(8201, reply(params_record()));
    Console con;
    Line line("gp\n");
    EXPECT_EQ(Q8_cmd_get_params(line.buf, 0), 0);
    EXPECT_EQ(con.out(),
              "Params public\n"
              "params.ident_time     = 120\n"
              "params.dose_units     = 1\n"
              "params.record_survey  = 1\n"
              "params.contrast       = 2\n"
              "params.usb_mode       = 0\n"
              "params.bg_floating    = 1\n"
              "params.bg_const       = 250\n"
              "params.gps_enable     = 1\n"
              "params.bg_acquire_len = 60\n"
              "params.gamma_alarm_status           = 1\n"
              "params.gamma_alarm_threshold_l1     = 5\n"
              "params.gamma_alarm_threshold_l2     = 6\n"
              "params.gamma_alarm_threshold_l3     = 7\n"
              "params.gamma_alarm_threshold_l4     = 8\n"
              "params.neutron_alarm_status         = 1\n"
              "params.dose_rate_alarm_status       = 0\n"
              "params.dose_rate_alarm_threshold_l1 = 0\n"
              "params.dose_rate_alarm_threshold_l2 = 1\n"
              "params.dose_rate_alarm_threshold_l3 = -2\n"
              "params.dose_rate_alarm_threshold_l4 = 3\n"
              "params.dose_rate_alarm_unit         = 4\n"
              "params.dose_alarm_status            = 1\n"
              "params.dose_alarm_threshold_l1      = 12\n"
              "params.dose_alarm_threshold_l2      = 20\n"
              "params.dose_alarm_threshold_l3      = 30\n"
              "params.dose_alarm_threshold_l4      = 2147483647\n"
              "params.dose_alarm_unit              = 3\n"
              "params.audio_volume                 = 2\n"
              "params.audio_mode                   = 1\n"
              "params.audio_sweep_threshold        = 65535\n");
}

TEST_F(Q8Cmds, ParameterDialogueWritesBackOnlyWhatWasChanged) {
    Bytes random = pattern(1400, 9);
    set_u32(random, 554, 0x7FA00001u);  // a signalling NaN goes back bit for bit
    Bytes zero(1400, 0);
    struct Case {
        const char* name;
        Bytes record;
        std::string line, input;
        std::function<void(Bytes&)> edit;  // the only change expected in the record sent
    } cases[] = {
        {"all empty", random, "sp\n", repeat("\n", 21), nullptr},
        {"usb mode 1", zero, "sp\n", repeat("\n", 4) + "1\n" + repeat("\n", 16),
         [](Bytes& b) { set_u16(b, 136, 1); }},
        {"bg_const from line", zero, "sp 500\n", repeat("\n", 20),
         [](Bytes& b) { set_i32(b, 268, 500); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        fake_qxx::push_reply(8201, reply(c.record));
        Console con(c.input);
        Line line(c.line);
        EXPECT_EQ(Q8_cmd_set_params(line.buf, 0), 0);
        ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8201, 8202}));
        Bytes expected = c.record;
        if (c.edit) c.edit(expected);
        const Bytes& sent = fake_qxx::calls()[1].request;
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(con.out().find("BG const:") == std::string::npos, c.line == "sp 500\n");
    }
}

TEST_F(Q8Cmds, ParameterDialoguePromptsInOrder) {
    fake_qxx::push_reply(8201, reply(Bytes(1400, 0)));
    Console con(repeat("\n", 21));
    Line line("sp\n");
    EXPECT_EQ(Q8_cmd_set_params(line.buf, 0), 0);
    EXPECT_EQ(con.out(),
              "Params public\nIdentify time:[0]:Dose units:[0]:Record survey:[0]:Contrast:[0]:"
              "USB mode:[0]:Floating BG:[0]:BG const:[0]:GPS enable:[0]:BG acquire:[0]:"
              "Gamma alarm status:[0]:Gamma alarm threshold level 1:[0]:"
              "Neutron alarm status:[0]:Dose alarm status:[0]:Dose rate alarm status:[0]:"
              "Dose rate alarm threshold level 1:[0.000]:Dose rate alarm unit:[0]:"
              "Dose alarm threshold level 1:[0.000]:Dose alarm unit:[0]:Audio volume:[0]:"
              "Audio mode:[0]:Sweep threshold:[0]:");
}

TEST_F(Q8Cmds, IncompleteParameterRecordIsNeverWrittenBack) {
    struct Case {
        const char* name;
        Bytes payload;
        int copied;
    } cases[] = {
        {"short", pattern(1399), 1399},
        {"empty", {}, 0},
        {"too long to copy", pattern(1401), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        fake_qxx::push_reply(8201, reply(c.payload));
        Console con(repeat("\n", 21));
        Line line("sp\n");
        EXPECT_EQ(Q8_cmd_set_params(line.buf, 0), -1);
        EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8201});
        EXPECT_EQ(con.err(), "Command Q8_cmd_set_params error: incomplete parameter record (" +
                                 std::to_string(c.copied) + " of 1400 bytes)!\n");
        EXPECT_EQ(con.out(), con.err());  // no prompt either
    }
}

}  // namespace
