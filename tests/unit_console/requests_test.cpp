// Every request of both command sets against the fake link: the code, the bytes sent, the reply
// size, the time-out and whether it waits, the result passed on unchanged.
#include <functional>

#include "fixture.h"
#include "q5_comm.h"
#include "q8_comm.h"

namespace {

constexpr int H = 7;
const Bytes REQ = [] {  // what a request buffer holds
    Bytes b(1400);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
    return b;
}();
const Bytes VALUE = {0x04, 0x03, 0x02, 0x01};  // 0x01020304 on the wire
constexpr int32_t V = 0x01020304;
unsigned char out[8192];
char* text_out = reinterpret_cast<char*>(out);

Bytes req(size_t n) {
    return Bytes(REQ.begin(), REQ.begin() + static_cast<long>(n));
}

struct Request {
    std::function<int(int wait)> call;
    int code;
    Bytes request;
    int reply_size, timeout = 1000;
    int wait = -1;  // -1: as the caller asks; else the request always uses this
};

// Grouped by the wrapper's form; each form with its request or reply size.
using Plain = int (*)(int, int);
using Sends = int (*)(int, const void*, int);
using Reads = int (*)(int, void*, int);
using Value = int (*)(int, int32_t, int);
// clang-format off
const std::pair<Plain, int> PLAIN[] = {
    {Q8_power_off, 8400}, {Q8_restart, 8021}, {Q8_clear_accumulated_spectrum, 8306},
    {Q8_stop_accumulated_spectrum, 8308}, {Q8_start_cs_stab_acc_spectrum, 8304},
    {Q8_stop_cs_stab_acc_spectrum, 8305}, {Q8_start_assay_acc_spectrum, 8309},
    {Q8_stop_assay_acc_spectrum, 8309}, {Q8_store_measurement, 8313}, {Q8_get_identify_results, 8326},
    {Q8_welcome, 8401}, {Q8_reacquire_background, 8210}, {Q8_stop_record_audio, 8331},
    {Q8_stop_audio, 8333}, {Q8_set_default_params, 8220}, {Q8_load_default_params, 8221}};
const std::tuple<Sends, int, int> SENDS[] = {
    {Q8_emulate_key, 8041, 4}, {Q8_set_leds, 8301, 4}, {Q8_set_params, 8202, 1400},
    {Q8_start_accumulated_spectrum, 8307, 6}, {Q8_set_gui_serial, 8011, 8}, {Q8_set_time, 8003, 24},
    {Q8_set_date, 8013, 24}, {Q8_play_audio, 8332, 4}, {Q8_set_adc_param, 8420, 8},
    {Q8_assign_note, 8315, 8}, {Q8_set_event_filter, 8016, 4}, {Q8_delete_record_id, 8312, 12},
    {Q8_set_inhibition, 8018, 4}, {Q8_connect_wifi, 8427, 257}, {Q8_set_wifi, 8428, 4},
    {Q8_set_passphrase, 8429, 255}, {Q8_set_ipv4, 8435, 140}, {Q8_set_ipv6, 8436, 232},
    {Q8_save_calib_log, 8320, 280}, {Q8_save_calibration_spect, 8350, 18}};
const std::tuple<Reads, int, int> READS[] = {
    {Q8_get_leds, 8302, 4}, {Q8_get_params, 8201, 1400}, {Q8_get_status, 8203, 346},
    {Q8_get_time, 8002, 24}, {Q8_get_date, 8012, 24}, {Q8_get_versions, 8001, 415},
    {Q8_get_serial_number, 8007, 4}, {Q8_start_record_audio, 8330, 4},
    {Q8_get_motion_sensor_data, 8421, 44}, {Q8_get_event_filter, 8015, 4},
    {Q8_get_inhibition, 8017, 4}, {Q8_get_wifi_ipv4_list, 8425, 6074},
    {Q8_get_wifi_ipv6_list, 8426, 7914}, {Q8_get_usb_gadget_list, 8424, 1071},
    {Q8_get_memory_usage, 8319, 92}, {Q8_get_calibration_method_names, 8345, 324}};
const std::pair<Value, int> VALUES[] = {
    {Q8_setup_display, 8031}, {Q8_set_gps_power, 8205}, {Q8_record_survey, 8311}, {Q8_confirm_alarms, 8215}};
// clang-format on

std::vector<Request> requests() {
    std::vector<Request> all;
    for (auto [f, code] : PLAIN) all.push_back({[f](int w) { return f(H, w); }, code, {}, 0});
    for (auto [f, code, n] : SENDS)
        all.push_back({[f](int w) { return f(H, REQ.data(), w); }, code, req(n), 0});
    for (auto [f, code, n] : READS)
        all.push_back({[f](int w) { return f(H, out, w); }, code, {}, n});
    for (auto [f, code] : VALUES)
        all.push_back({[f](int w) { return f(H, V, w); }, code, VALUE, 0});
    q8_tx_prepare prep;
    std::memcpy(prep.bytes, REQ.data(), sizeof prep.bytes);
    q8_tx_get get;
    std::memcpy(get.bytes, REQ.data(), sizeof get.bytes);
    static int32_t gps;
    // clang-format off
    std::vector<Request> rest = {
        {[](int w) { return Q8_get_params_len(H, out, nullptr, w); }, 8201, {}, 1400},
        {[](int w) { return Q8_get_gps_power(H, &gps, w); }, 8204, {}, 4},
        {[](int w) { return Q8_tx_buff_info(H, V, out, w); }, 8410, VALUE, 8, 3000},
        {[prep](int w) { return Q8_tx_buff_prepare(H, prep, out, w); }, 8411, req(68), 68, 20000},
        {[get](int w) { return Q8_tx_buff_get(H, get, out, w); }, 8412, req(12), 8178, 3000},
        {[](int w) { return Q8_prepare_note_db(H, REQ.data(), out, w); }, 8334, req(4), 4},
        {[](int w) { return Q8_check_calib_date(H, REQ.data(), out, w); }, 8321, req(4), 10},
        {[](int w) { return Q8_get_calibration_methods(H, REQ.data(), out, w); }, 8346, req(16), 912},
        {[](int w) { return Q5_get_fw_version(H, text_out, w); }, 8001, {}, 8},
        {[](int w) { return Q5_get_serial(H, text_out, w); }, 8007, {}, 8, 100},
        {[](int) { return Q5_probe(H, 3); }, 8007, {}, 0, 100, 0},
        {[](int w) { return Q5_set_serial(H, "B0001234", w); }, 8104, text("B0001234"), 0},
        {[](int w) { return Q5_set_model_rev(H, V, w); }, 8105, VALUE, 0},
        {[](int w) { return Q5_get_model_rev(H, out, w); }, 8008, {}, 4},
        {[](int w) { return Q5_write_ext_flash(H, 0x0102, "abc", 3, w); }, 8102, {2, 1, 'a', 'b', 'c'}, 0},
        {[](int w) { return Q5_read_ext_flash(H, 1, out, w); }, 8101, {1, 0}, 64},
        {[](int) { return Q5_restart(H); }, 8021, {}, 0, 1000, 0},
    };
    // clang-format on
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

TEST(Requests, EachSendsItsCodeBytesReplySizeAndTimeout) {
    for (const auto& q : requests()) {
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::to_string(q.code) + " wait " + std::to_string(wait));
            fake_qxx::reset();
            fake_qxx::st().replies[q.code].push_back(answer(42));
            EXPECT_EQ(q.call(wait), 42);
            ASSERT_EQ(fake_qxx::st().calls.size(), 1u);
            const auto& c = fake_qxx::st().calls[0];
            EXPECT_EQ(std::tuple(c.handle, c.code, c.request, c.reply_size, c.timeout, c.wait),
                      std::tuple(H, q.code, q.request, q.reply_size, q.timeout,
                                 q.wait < 0 ? wait : q.wait));
        }
    }
    // One write request carries at most 65531 bytes of data.
    fake_qxx::reset();
    const Bytes data(65532, 0x3C);
    EXPECT_EQ(Q5_write_ext_flash(H, 1, data.data(), 65532, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(H, 1, data.data(), -1, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(H, 1, data.data(), 65531, 1), 0);
    ASSERT_EQ(fake_qxx::st().calls.size(), 1u);
    EXPECT_EQ(fake_qxx::st().calls[0].request.size(), 65533u);
}

}  // namespace
