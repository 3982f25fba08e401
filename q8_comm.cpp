// The instrument's request wrappers. Every request is one row of the table below (code, bytes
// sent, reply buffer size, time-out); each wrapper is one line that names its row. The
// instrument answers with the code plus 1000 (the transaction waits for that).
#include "q8_comm.h"

#include "qxx_comm.h"

namespace {

struct Request {
    int code;
    int request_size;  // bytes taken from the caller's buffer or value
    int reply_size;    // reply buffer handed to the transaction
    int timeout_ms;    // also the request header's param
};

constexpr int T = 1000;  // the time-out of nearly every request

constexpr Request EMULATE_KEY{8041, 4, 0, T};
constexpr Request SET_LEDS{8301, 4, 0, T};
constexpr Request GET_LEDS{8302, 0, 4, T};
constexpr Request SET_PARAMS{8202, Q8_PARAMS_SIZE, 0, T};
constexpr Request GET_PARAMS{8201, 0, Q8_PARAMS_SIZE, T};
constexpr Request GET_STATUS{8203, 0, Q8_STATUS_SIZE, T};
constexpr Request POWER_OFF{8400, 0, 0, T};
constexpr Request RESTART{8021, 0, 0, T};
constexpr Request CLEAR_ACC_SPECTRUM{8306, 0, 0, T};
constexpr Request START_ACC_SPECTRUM{8307, 6, 0, T};
constexpr Request STOP_ACC_SPECTRUM{8308, 0, 0, T};
constexpr Request START_CS_STAB{8304, 0, 0, T};
constexpr Request STOP_CS_STAB{8305, 0, 0, T};
// The instrument toggles the assay with one code: start and stop both send 8309.
constexpr Request START_ASSAY{8309, 0, 0, T};
constexpr Request STOP_ASSAY{8309, 0, 0, T};
constexpr Request STORE_MEASUREMENT{8313, 0, 0, T};
constexpr Request GET_IDENTIFY_RESULTS{8326, 0, 0, T};
constexpr Request SETUP_DISPLAY{8031, 4, 0, T};
constexpr Request SET_GUI_SERIAL{8011, 8, 0, T};
constexpr Request GET_TIME{8002, 0, 24, T};
constexpr Request SET_TIME{8003, 24, 0, T};
constexpr Request GET_DATE{8012, 0, 24, T};
constexpr Request SET_DATE{8013, 24, 0, T};
constexpr Request WELCOME{8401, 0, 0, T};
constexpr Request GET_VERSIONS{8001, 0, Q8_VERSIONS_SIZE, T};
constexpr Request GET_SERIAL_NUMBER{8007, 0, 4, T};
constexpr Request GET_GPS_POWER{8204, 0, 4, T};
constexpr Request SET_GPS_POWER{8205, 4, 0, T};
constexpr Request RECORD_SURVEY{8311, 4, 0, T};
constexpr Request REACQUIRE_BACKGROUND{8210, 0, 0, T};
constexpr Request CONFIRM_ALARMS{8215, 4, 0, T};
constexpr Request START_RECORD_AUDIO{8330, 0, 4, T};
constexpr Request STOP_RECORD_AUDIO{8331, 0, 0, T};
constexpr Request PLAY_AUDIO{8332, 4, 0, T};
constexpr Request STOP_AUDIO{8333, 0, 0, T};
constexpr Request SET_ADC_PARAM{8420, 8, 0, T};
constexpr Request ASSIGN_NOTE{8315, 8, 0, T};
constexpr Request GET_MOTION_SENSOR_DATA{8421, 0, 44, T};
constexpr Request SET_EVENT_FILTER{8016, 4, 0, T};
constexpr Request GET_EVENT_FILTER{8015, 0, 4, T};
constexpr Request TX_BUFF_INFO{8410, 4, 8, 3000};
constexpr Request TX_BUFF_PREPARE{8411, 68, 68, 20000};
constexpr Request TX_BUFF_GET{8412, 12, 8178, 3000};
constexpr Request DELETE_RECORD_ID{8312, 12, 0, T};
constexpr Request SET_INHIBITION{8018, 4, 0, T};
constexpr Request GET_INHIBITION{8017, 0, 4, T};
constexpr Request GET_WIFI_IPV4_LIST{8425, 0, 6074, T};
constexpr Request GET_WIFI_IPV6_LIST{8426, 0, 7914, T};
constexpr Request GET_USB_GADGET_LIST{8424, 0, 1071, T};
constexpr Request CONNECT_WIFI{8427, 257, 0, T};
constexpr Request SET_WIFI{8428, 4, 0, T};
constexpr Request SET_PASSPHRASE{8429, 255, 0, T};
constexpr Request SET_IPV4{8435, 140, 0, T};
constexpr Request SET_IPV6{8436, 232, 0, T};
constexpr Request PREPARE_NOTE_DB{8334, 4, 4, T};
constexpr Request SAVE_CALIB_LOG{8320, 280, 0, T};
constexpr Request CHECK_CALIB_DATE{8321, 4, 10, T};
constexpr Request GET_MEMORY_USAGE{8319, 0, 92, T};
constexpr Request SET_DEFAULT_PARAMS{8220, 0, 0, T};
constexpr Request LOAD_DEFAULT_PARAMS{8221, 0, 0, T};
constexpr Request GET_CALIBRATION_METHOD_NAMES{8345, 0, 324, T};
constexpr Request GET_CALIBRATION_METHODS{8346, 16, 912, T};
constexpr Request SAVE_CALIBRATION_SPECT{8350, 18, 0, T};
// The identification probe: get-serial-number, written without waiting for the answer.
constexpr Request PROBE{8007, 0, 0, 100};

constexpr int PROBE_REPLY_CODE = 9007;
constexpr unsigned char PROBE_REPLY_MARK = 'C';  // first data byte of an NV-52's serial reply
constexpr int Q8_TRIES = 3;

int send(int handle, const Request& r, const void* request, void* reply, int wait,
         int* reply_len = nullptr) {
    return QXX_send_cmd(handle, r.code, r.request_size ? request : nullptr, r.request_size,
                        r.reply_size ? reply : nullptr, r.reply_size, reply_len, nullptr, nullptr,
                        r.timeout_ms, wait);
}

int send_none(int handle, const Request& r, int wait) {
    return send(handle, r, nullptr, nullptr, wait);
}

// A 32-bit value goes on the wire least significant byte first.
int send_value(int handle, const Request& r, int32_t value, void* reply, int wait) {
    unsigned char bytes[4];
    put_i32le(bytes, value);
    return send(handle, r, bytes, reply, wait);
}

}  // namespace

int Q8_emulate_key(int h, const void* req, int wait) {
    return send(h, EMULATE_KEY, req, nullptr, wait);
}
int Q8_set_leds(int h, const void* led_word, int wait) {
    return send(h, SET_LEDS, led_word, nullptr, wait);
}
int Q8_get_leds(int h, void* reply, int wait) {
    return send(h, GET_LEDS, nullptr, reply, wait);
}
int Q8_set_params(int h, const void* params, int wait) {
    return send(h, SET_PARAMS, params, nullptr, wait);
}
int Q8_get_params(int h, void* params, int wait) {
    return send(h, GET_PARAMS, nullptr, params, wait);
}
int Q8_get_params_len(int h, void* params, int* len, int wait) {
    return send(h, GET_PARAMS, nullptr, params, wait, len);
}
int Q8_get_status(int h, void* status, int wait) {
    return send(h, GET_STATUS, nullptr, status, wait);
}
int Q8_power_off(int h, int wait) {
    return send_none(h, POWER_OFF, wait);
}
int Q8_restart(int h, int wait) {
    return send_none(h, RESTART, wait);
}
int Q8_clear_accumulated_spectrum(int h, int wait) {
    return send_none(h, CLEAR_ACC_SPECTRUM, wait);
}
int Q8_start_accumulated_spectrum(int h, const void* req, int wait) {
    return send(h, START_ACC_SPECTRUM, req, nullptr, wait);
}
int Q8_stop_accumulated_spectrum(int h, int wait) {
    return send_none(h, STOP_ACC_SPECTRUM, wait);
}
int Q8_start_cs_stab_acc_spectrum(int h, int wait) {
    return send_none(h, START_CS_STAB, wait);
}
int Q8_stop_cs_stab_acc_spectrum(int h, int wait) {
    return send_none(h, STOP_CS_STAB, wait);
}
int Q8_start_assay_acc_spectrum(int h, int wait) {
    return send_none(h, START_ASSAY, wait);
}
int Q8_stop_assay_acc_spectrum(int h, int wait) {
    return send_none(h, STOP_ASSAY, wait);
}
int Q8_store_measurement(int h, int wait) {
    return send_none(h, STORE_MEASUREMENT, wait);
}
int Q8_get_identify_results(int h, int wait) {
    return send_none(h, GET_IDENTIFY_RESULTS, wait);
}
int Q8_setup_display(int h, int32_t value, int wait) {
    return send_value(h, SETUP_DISPLAY, value, nullptr, wait);
}
int Q8_set_gui_serial(int h, const void* req, int wait) {
    return send(h, SET_GUI_SERIAL, req, nullptr, wait);
}
int Q8_get_time(int h, void* time, int wait) {
    return send(h, GET_TIME, nullptr, time, wait);
}
int Q8_set_time(int h, const void* time, int wait) {
    return send(h, SET_TIME, time, nullptr, wait);
}
int Q8_get_date(int h, void* date, int wait) {
    return send(h, GET_DATE, nullptr, date, wait);
}
int Q8_set_date(int h, const void* date, int wait) {
    return send(h, SET_DATE, date, nullptr, wait);
}
int Q8_welcome(int h, int wait) {
    return send_none(h, WELCOME, wait);
}
int Q8_get_versions(int h, void* versions, int wait) {
    return send(h, GET_VERSIONS, nullptr, versions, wait);
}
int Q8_get_serial_number(int h, void* reply, int wait) {
    return send(h, GET_SERIAL_NUMBER, nullptr, reply, wait);
}
int Q8_set_gps_power(int h, int32_t value, int wait) {
    return send_value(h, SET_GPS_POWER, value, nullptr, wait);
}
int Q8_record_survey(int h, int32_t value, int wait) {
    return send_value(h, RECORD_SURVEY, value, nullptr, wait);
}
int Q8_reacquire_background(int h, int wait) {
    return send_none(h, REACQUIRE_BACKGROUND, wait);
}
int Q8_confirm_alarms(int h, int32_t value, int wait) {
    return send_value(h, CONFIRM_ALARMS, value, nullptr, wait);
}
int Q8_start_record_audio(int h, void* reply, int wait) {
    return send(h, START_RECORD_AUDIO, nullptr, reply, wait);
}
int Q8_stop_record_audio(int h, int wait) {
    return send_none(h, STOP_RECORD_AUDIO, wait);
}
int Q8_play_audio(int h, const void* req, int wait) {
    return send(h, PLAY_AUDIO, req, nullptr, wait);
}
int Q8_stop_audio(int h, int wait) {
    return send_none(h, STOP_AUDIO, wait);
}
int Q8_set_adc_param(int h, const void* req, int wait) {
    return send(h, SET_ADC_PARAM, req, nullptr, wait);
}
int Q8_assign_note(int h, const void* req, int wait) {
    return send(h, ASSIGN_NOTE, req, nullptr, wait);
}
int Q8_get_motion_sensor_data(int h, void* reply, int wait) {
    return send(h, GET_MOTION_SENSOR_DATA, nullptr, reply, wait);
}
int Q8_set_event_filter(int h, const void* req, int wait) {
    return send(h, SET_EVENT_FILTER, req, nullptr, wait);
}
int Q8_get_event_filter(int h, void* reply, int wait) {
    return send(h, GET_EVENT_FILTER, nullptr, reply, wait);
}
int Q8_tx_buff_info(int h, int32_t value, void* reply, int wait) {
    return send_value(h, TX_BUFF_INFO, value, reply, wait);
}
int Q8_tx_buff_prepare(int h, q8_tx_prepare req, void* reply, int wait) {
    return send(h, TX_BUFF_PREPARE, req.bytes, reply, wait);
}
int Q8_tx_buff_get(int h, q8_tx_get req, void* reply, int wait) {
    return send(h, TX_BUFF_GET, req.bytes, reply, wait);
}
int Q8_delete_record_id(int h, const void* req, int wait) {
    return send(h, DELETE_RECORD_ID, req, nullptr, wait);
}
int Q8_set_inhibition(int h, const void* req, int wait) {
    return send(h, SET_INHIBITION, req, nullptr, wait);
}
int Q8_get_inhibition(int h, void* reply, int wait) {
    return send(h, GET_INHIBITION, nullptr, reply, wait);
}
int Q8_get_wifi_ipv4_list(int h, void* reply, int wait) {
    return send(h, GET_WIFI_IPV4_LIST, nullptr, reply, wait);
}
int Q8_get_wifi_ipv6_list(int h, void* reply, int wait) {
    return send(h, GET_WIFI_IPV6_LIST, nullptr, reply, wait);
}
int Q8_get_usb_gadget_list(int h, void* reply, int wait) {
    return send(h, GET_USB_GADGET_LIST, nullptr, reply, wait);
}
int Q8_connect_wifi(int h, const void* req, int wait) {
    return send(h, CONNECT_WIFI, req, nullptr, wait);
}
int Q8_set_wifi(int h, const void* req, int wait) {
    return send(h, SET_WIFI, req, nullptr, wait);
}
int Q8_set_passphrase(int h, const void* req, int wait) {
    return send(h, SET_PASSPHRASE, req, nullptr, wait);
}
int Q8_set_ipv4(int h, const void* req, int wait) {
    return send(h, SET_IPV4, req, nullptr, wait);
}
int Q8_set_ipv6(int h, const void* req, int wait) {
    return send(h, SET_IPV6, req, nullptr, wait);
}
int Q8_prepare_note_db(int h, const void* req, void* reply, int wait) {
    return send(h, PREPARE_NOTE_DB, req, reply, wait);
}
int Q8_save_calib_log(int h, const void* req, int wait) {
    return send(h, SAVE_CALIB_LOG, req, nullptr, wait);
}
int Q8_check_calib_date(int h, const void* req, void* reply, int wait) {
    return send(h, CHECK_CALIB_DATE, req, reply, wait);
}
int Q8_get_memory_usage(int h, void* reply, int wait) {
    return send(h, GET_MEMORY_USAGE, nullptr, reply, wait);
}
int Q8_set_default_params(int h, int wait) {
    return send_none(h, SET_DEFAULT_PARAMS, wait);
}
int Q8_load_default_params(int h, int wait) {
    return send_none(h, LOAD_DEFAULT_PARAMS, wait);
}
int Q8_get_calibration_method_names(int h, void* reply, int wait) {
    return send(h, GET_CALIBRATION_METHOD_NAMES, nullptr, reply, wait);
}
int Q8_get_calibration_methods(int h, const void* req, void* reply, int wait) {
    return send(h, GET_CALIBRATION_METHODS, req, reply, wait);
}
int Q8_save_calibration_spect(int h, const void* req, int wait) {
    return send(h, SAVE_CALIBRATION_SPECT, req, nullptr, wait);
}
int Q8_probe(int h, int) {
    return send_none(h, PROBE, 0);
}

// The reply lands in a byte buffer and is read little-endian; when no reply was copied the
// caller's value stays as it was.
int Q8_get_gps_power(int handle, int32_t* reply, int wait) {
    unsigned char bytes[4];
    put_i32le(bytes, reply ? *reply : 0);
    int result = send(handle, GET_GPS_POWER, nullptr, bytes, wait);
    if (reply) *reply = get_i32le(bytes);
    return result;
}

// Runs on the link's I/O thread for every frame received before the device is recognised.
int Q8_test_probe(int handle, const unsigned char* frame, int* type_id, int) {
    if (type_id) *type_id = Q8_DEV_TYPE;
    QXX_set_cmd_num_try(handle, Q8_TRIES);
    if (frame == nullptr || qxx_frame_payload_size(frame) < 1) return 0;
    return qxx_frame_code(frame) == PROBE_REPLY_CODE && frame[QXX_OFF_PAYLOAD] == PROBE_REPLY_MARK
               ? 1
               : 0;
}
