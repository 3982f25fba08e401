// The instrument's request wrappers: the code, the bytes sent, the reply size and the time-out of
// every request, and the identification pair.
#include <functional>

#include "q8_comm.h"
#include "q8_support.h"

namespace {

constexpr int H = 5;
const Bytes REQ = pattern(1400, 3);            // what a request buffer holds
const Bytes VALUE = {0x04, 0x03, 0x02, 0x01};  // 0x01020304 on the wire
constexpr int32_t V = 0x01020304;

Bytes req(size_t n) {
    return Bytes(REQ.begin(), REQ.begin() + static_cast<long>(n));
}

struct Wrapper {
    const char* name;
    std::function<int(int wait)> call;
    int code;
    Bytes request;
    int reply_size;
    int timeout;
};

unsigned char reply_buf[8192];
const void* r = REQ.data();
void* out = reply_buf;

std::vector<Wrapper> wrappers() {
    q8_tx_prepare prep;
    std::memcpy(prep.bytes, REQ.data(), sizeof prep.bytes);
    q8_tx_get get;
    std::memcpy(get.bytes, REQ.data(), sizeof get.bytes);
    return {
        {"emulate_key", [](int w) { return Q8_emulate_key(H, r, w); }, 8041, req(4), 0, 1000},
        {"set_leds", [](int w) { return Q8_set_leds(H, r, w); }, 8301, req(4), 0, 1000},
        {"get_leds", [](int w) { return Q8_get_leds(H, out, w); }, 8302, {}, 4, 1000},
        {"set_params", [](int w) { return Q8_set_params(H, r, w); }, 8202, req(1400), 0, 1000},
        {"get_params", [](int w) { return Q8_get_params(H, out, w); }, 8201, {}, 1400, 1000},
        {"get_params_len",
         [](int w) { return Q8_get_params_len(H, out, nullptr, w); },
         8201,
         {},
         1400,
         1000},
        {"get_status", [](int w) { return Q8_get_status(H, out, w); }, 8203, {}, 346, 1000},
        {"power_off", [](int w) { return Q8_power_off(H, w); }, 8400, {}, 0, 1000},
        {"restart", [](int w) { return Q8_restart(H, w); }, 8021, {}, 0, 1000},
        {"clear_acc", [](int w) { return Q8_clear_accumulated_spectrum(H, w); }, 8306, {}, 0, 1000},
        {"start_acc", [](int w) { return Q8_start_accumulated_spectrum(H, r, w); }, 8307, req(6), 0,
         1000},
        {"stop_acc", [](int w) { return Q8_stop_accumulated_spectrum(H, w); }, 8308, {}, 0, 1000},
        {"start_cs", [](int w) { return Q8_start_cs_stab_acc_spectrum(H, w); }, 8304, {}, 0, 1000},
        {"stop_cs", [](int w) { return Q8_stop_cs_stab_acc_spectrum(H, w); }, 8305, {}, 0, 1000},
        {"start_assay", [](int w) { return Q8_start_assay_acc_spectrum(H, w); }, 8309, {}, 0, 1000},
        {"stop_assay", [](int w) { return Q8_stop_assay_acc_spectrum(H, w); }, 8309, {}, 0, 1000},
        {"store", [](int w) { return Q8_store_measurement(H, w); }, 8313, {}, 0, 1000},
        {"identify", [](int w) { return Q8_get_identify_results(H, w); }, 8326, {}, 0, 1000},
        {"setup_display", [](int w) { return Q8_setup_display(H, V, w); }, 8031, VALUE, 0, 1000},
        {"gui_serial", [](int w) { return Q8_set_gui_serial(H, r, w); }, 8011, req(8), 0, 1000},
        {"get_time", [](int w) { return Q8_get_time(H, out, w); }, 8002, {}, 24, 1000},
        {"set_time", [](int w) { return Q8_set_time(H, r, w); }, 8003, req(24), 0, 1000},
        {"get_date", [](int w) { return Q8_get_date(H, out, w); }, 8012, {}, 24, 1000},
        {"set_date", [](int w) { return Q8_set_date(H, r, w); }, 8013, req(24), 0, 1000},
        {"welcome", [](int w) { return Q8_welcome(H, w); }, 8401, {}, 0, 1000},
        {"versions", [](int w) { return Q8_get_versions(H, out, w); }, 8001, {}, 415, 1000},
        {"serial", [](int w) { return Q8_get_serial_number(H, out, w); }, 8007, {}, 4, 1000},
        {"get_gps",
         [](int w) {
             int32_t v = 0;
             return Q8_get_gps_power(H, &v, w);
         },
         8204,
         {},
         4,
         1000},
        {"set_gps", [](int w) { return Q8_set_gps_power(H, V, w); }, 8205, VALUE, 0, 1000},
        {"survey", [](int w) { return Q8_record_survey(H, V, w); }, 8311, VALUE, 0, 1000},
        {"reacquire", [](int w) { return Q8_reacquire_background(H, w); }, 8210, {}, 0, 1000},
        {"alarms", [](int w) { return Q8_confirm_alarms(H, V, w); }, 8215, VALUE, 0, 1000},
        {"rec_audio", [](int w) { return Q8_start_record_audio(H, out, w); }, 8330, {}, 4, 1000},
        {"stop_rec", [](int w) { return Q8_stop_record_audio(H, w); }, 8331, {}, 0, 1000},
        {"play", [](int w) { return Q8_play_audio(H, r, w); }, 8332, req(4), 0, 1000},
        {"stop_audio", [](int w) { return Q8_stop_audio(H, w); }, 8333, {}, 0, 1000},
        {"adc", [](int w) { return Q8_set_adc_param(H, r, w); }, 8420, req(8), 0, 1000},
        {"note", [](int w) { return Q8_assign_note(H, r, w); }, 8315, req(8), 0, 1000},
        {"motion", [](int w) { return Q8_get_motion_sensor_data(H, out, w); }, 8421, {}, 44, 1000},
        {"set_filter", [](int w) { return Q8_set_event_filter(H, r, w); }, 8016, req(4), 0, 1000},
        {"get_filter", [](int w) { return Q8_get_event_filter(H, out, w); }, 8015, {}, 4, 1000},
        {"tx_info", [](int w) { return Q8_tx_buff_info(H, V, out, w); }, 8410, VALUE, 8, 3000},
        {"tx_prepare", [prep](int w) { return Q8_tx_buff_prepare(H, prep, out, w); }, 8411, req(68),
         68, 20000},
        {"tx_get", [get](int w) { return Q8_tx_buff_get(H, get, out, w); }, 8412, req(12), 8178,
         3000},
        {"delete", [](int w) { return Q8_delete_record_id(H, r, w); }, 8312, req(12), 0, 1000},
        {"set_inhib", [](int w) { return Q8_set_inhibition(H, r, w); }, 8018, req(4), 0, 1000},
        {"get_inhib", [](int w) { return Q8_get_inhibition(H, out, w); }, 8017, {}, 4, 1000},
        {"ipv4_list", [](int w) { return Q8_get_wifi_ipv4_list(H, out, w); }, 8425, {}, 6074, 1000},
        {"ipv6_list", [](int w) { return Q8_get_wifi_ipv6_list(H, out, w); }, 8426, {}, 7914, 1000},
        {"gadgets", [](int w) { return Q8_get_usb_gadget_list(H, out, w); }, 8424, {}, 1071, 1000},
        {"connect_wifi", [](int w) { return Q8_connect_wifi(H, r, w); }, 8427, req(257), 0, 1000},
        {"set_wifi", [](int w) { return Q8_set_wifi(H, r, w); }, 8428, req(4), 0, 1000},
        {"passphrase", [](int w) { return Q8_set_passphrase(H, r, w); }, 8429, req(255), 0, 1000},
        {"ipv4", [](int w) { return Q8_set_ipv4(H, r, w); }, 8435, req(140), 0, 1000},
        {"ipv6", [](int w) { return Q8_set_ipv6(H, r, w); }, 8436, req(232), 0, 1000},
        {"note_db", [](int w) { return Q8_prepare_note_db(H, r, out, w); }, 8334, req(4), 4, 1000},
        {"calib_log", [](int w) { return Q8_save_calib_log(H, r, w); }, 8320, req(280), 0, 1000},
        {"calib_date", [](int w) { return Q8_check_calib_date(H, r, out, w); }, 8321, req(4), 10,
         1000},
        {"memory", [](int w) { return Q8_get_memory_usage(H, out, w); }, 8319, {}, 92, 1000},
        {"set_default", [](int w) { return Q8_set_default_params(H, w); }, 8220, {}, 0, 1000},
        {"load_default", [](int w) { return Q8_load_default_params(H, w); }, 8221, {}, 0, 1000},
        {"method_names",
         [](int w) { return Q8_get_calibration_method_names(H, out, w); },
         8345,
         {},
         324,
         1000},
        {"methods", [](int w) { return Q8_get_calibration_methods(H, r, out, w); }, 8346, req(16),
         912, 1000},
        {"calib_spect", [](int w) { return Q8_save_calibration_spect(H, r, w); }, 8350, req(18), 0,
         1000},
    };
}

using Q8Comm = Q8Test;

TEST_F(Q8Comm, EveryWrapperSendsItsCodeBytesReplySizeAndTimeout) {
    auto table = wrappers();
    EXPECT_EQ(table.size(), 64u);  // 63 wrappers and the length-reporting parameter read
    for (const auto& w : table) {
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::string(w.name) + " wait " + std::to_string(wait));
            fake_qxx::reset();
            fake_qxx::set_responder([](const fake_qxx::Call&) { return failure(42); });
            EXPECT_EQ(w.call(wait), 42);  // the transaction's result, unchanged
            ASSERT_EQ(fake_qxx::calls().size(), 1u);
            const auto& c = fake_qxx::calls()[0];
            EXPECT_EQ(c.handle, H);
            EXPECT_EQ(c.code, w.code);
            EXPECT_EQ(c.request, w.request);
            EXPECT_EQ(c.reply_size, w.reply_size);
            EXPECT_EQ(c.timeout, w.timeout);
            EXPECT_EQ(c.wait, wait);
        }
    }
}

TEST_F(Q8Comm, ProbeWritesSerialRequestWithoutWaiting) {
    EXPECT_EQ(Q8_probe(H, 4), 0);
    ASSERT_EQ(fake_qxx::calls().size(), 1u);
    const auto& c = fake_qxx::calls()[0];
    EXPECT_EQ(c.code, 8007);
    EXPECT_TRUE(c.request.empty());
    EXPECT_EQ(c.reply_size, 0);
    EXPECT_EQ(c.timeout, 100);
    EXPECT_EQ(c.wait, 0);
}

TEST_F(Q8Comm, TestProbeAcceptsOnlyTheSerialReplyStartingWithC) {
    struct Case {
        int code;
        Bytes payload;
        int expected;
    } cases[] = {
        {9007, {'C', '1', '2'}, 1},
        {9007, {'B', '1', '2'}, 0},
        {9008, {'C'}, 0},
        {9007, {}, 0},  // no data byte to look at
    };
    for (const auto& c : cases) {
        Bytes f = frame_of(c.code, c.payload);
        int type = 0;
        EXPECT_EQ(Q8_test_probe(H, f.data(), &type, 0), c.expected) << c.code;
        EXPECT_EQ(type, 12);  // written whatever the frame holds
    }
}

}  // namespace
