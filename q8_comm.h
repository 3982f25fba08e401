// The Q8 command set: the instrument's 63 request wrappers and its identification pair. Each
// wrapper is a single QXX_send_cmd with a fixed code, sizes and time-out; it returns the
// transaction's result unchanged.
#pragma once

#include <cstdint>

constexpr int Q8_DEV_TYPE = 12;
constexpr int Q8_VERSIONS_SIZE = 415;
// The versions record begins with six texts of 32 bytes, NUL-terminated when shorter: overall,
// file system, GUI, the two firmware components, kernel.
constexpr int Q8_VERSION_FIELD = 32;
constexpr int Q8_VERSION_FIELDS = 6;
constexpr int Q8_STATUS_SIZE = 346;
constexpr int Q8_PARAMS_SIZE = 1400;
constexpr int Q8_PAR_USB_MODE = 136;       // u16 usb_mode in the parameter record
constexpr const char* Q8_MODEL = "NV-52";  // the model text of the instrument's containers

int Q8_emulate_key(int handle, const void* request, int wait);
int Q8_set_leds(int handle, const void* led_word, int wait);
int Q8_get_leds(int handle, void* reply, int wait);
int Q8_set_params(int handle, const void* params, int wait);
int Q8_get_params(int handle, void* params, int wait);
// The same request, also reporting the size of the reply's payload through `reply_len`
// (written only when a payload was copied, so callers start it at 0). A record is complete
// only when that size is Q8_PARAMS_SIZE: callers write back nothing else.
int Q8_get_params_len(int handle, void* params, int* reply_len, int wait);
int Q8_get_status(int handle, void* status, int wait);
int Q8_power_off(int handle, int wait);
int Q8_restart(int handle, int wait);
int Q8_clear_accumulated_spectrum(int handle, int wait);
int Q8_start_accumulated_spectrum(int handle, const void* request, int wait);
int Q8_stop_accumulated_spectrum(int handle, int wait);
int Q8_start_cs_stab_acc_spectrum(int handle, int wait);
int Q8_stop_cs_stab_acc_spectrum(int handle, int wait);
int Q8_start_assay_acc_spectrum(int handle, int wait);
int Q8_stop_assay_acc_spectrum(int handle, int wait);
int Q8_store_measurement(int handle, int wait);
int Q8_get_identify_results(int handle, int wait);
int Q8_setup_display(int handle, int32_t value, int wait);
int Q8_set_gui_serial(int handle, const void* request, int wait);
int Q8_get_time(int handle, void* time, int wait);
int Q8_set_time(int handle, const void* time, int wait);
int Q8_get_date(int handle, void* date, int wait);
int Q8_set_date(int handle, const void* date, int wait);
int Q8_welcome(int handle, int wait);
int Q8_get_versions(int handle, void* versions, int wait);
int Q8_get_serial_number(int handle, void* reply, int wait);
int Q8_get_gps_power(int handle, int32_t* reply, int wait);
int Q8_set_gps_power(int handle, int32_t value, int wait);
int Q8_record_survey(int handle, int32_t value, int wait);
int Q8_reacquire_background(int handle, int wait);
int Q8_confirm_alarms(int handle, int32_t value, int wait);
int Q8_start_record_audio(int handle, void* reply, int wait);
int Q8_stop_record_audio(int handle, int wait);
int Q8_play_audio(int handle, const void* request, int wait);
int Q8_stop_audio(int handle, int wait);
int Q8_set_adc_param(int handle, const void* request, int wait);
int Q8_assign_note(int handle, const void* request, int wait);
int Q8_get_motion_sensor_data(int handle, void* reply, int wait);
int Q8_set_event_filter(int handle, const void* request, int wait);
int Q8_get_event_filter(int handle, void* reply, int wait);
int Q8_tx_buff_info(int handle, int32_t value, void* reply, int wait);
struct q8_tx_prepare {
    unsigned char bytes[68];
};
struct q8_tx_get {
    unsigned char bytes[12];
};
int Q8_tx_buff_prepare(int handle, q8_tx_prepare request, void* reply, int wait);
int Q8_tx_buff_get(int handle, q8_tx_get request, void* reply, int wait);
int Q8_delete_record_id(int handle, const void* request, int wait);
int Q8_set_inhibition(int handle, const void* request, int wait);
int Q8_get_inhibition(int handle, void* reply, int wait);
int Q8_get_wifi_ipv4_list(int handle, void* reply, int wait);
int Q8_get_wifi_ipv6_list(int handle, void* reply, int wait);
int Q8_get_usb_gadget_list(int handle, void* reply, int wait);
int Q8_connect_wifi(int handle, const void* request, int wait);
int Q8_set_wifi(int handle, const void* request, int wait);
int Q8_set_passphrase(int handle, const void* request, int wait);
int Q8_set_ipv4(int handle, const void* request, int wait);
int Q8_set_ipv6(int handle, const void* request, int wait);
int Q8_prepare_note_db(int handle, const void* request, void* reply, int wait);
int Q8_save_calib_log(int handle, const void* request, int wait);
int Q8_check_calib_date(int handle, const void* request, void* reply, int wait);
int Q8_get_memory_usage(int handle, void* reply, int wait);
int Q8_set_default_params(int handle, int wait);
int Q8_load_default_params(int handle, int wait);
int Q8_get_calibration_method_names(int handle, void* reply, int wait);
int Q8_get_calibration_methods(int handle, const void* request, void* reply, int wait);
int Q8_save_calibration_spect(int handle, const void* request, int wait);
int Q8_probe(int handle, int tries);
int Q8_test_probe(int handle, const unsigned char* frame, int* type_id, int tries);
