// The instrument's console commands and menu, its status and parameter records, its
// asynchronous event handlers and the spectrum file.
#pragma once

#include <cstdint>

#include "conutil.h"

int Q8_cmd_get_fw_version(char* line, int arg);
int Q8_cmd_get_serial(char* line, int arg);
int Q8_cmd_set_serial(char* line, int arg);
int Q8_cmd_get_time(char* line, int arg);
int Q8_cmd_set_time(char* line, int arg);
int Q8_cmd_display_events(char* line, int arg);
int Q8_cmd_setup_display(char* line, int arg);
int Q8_cmd_set_leds(char* line, int arg);
int Q8_cmd_power_off(char* line, int arg);
int Q8_cmd_assay(char* line, int arg);
int Q8_cmd_cs_stab(char* line, int arg);
int Q8_cmd_set_gps_power_status(char* line, int arg);
int Q8_cmd_reacquire_bg(char* line, int arg);
int Q8_cmd_get_status(char* line, int arg);
int Q8_cmd_set_status(char* line, int arg);
int Q8_cmd_get_params(char* line, int arg);
int Q8_cmd_set_params(char* line, int arg);
int Q8_cmd_upload_xfw(char* line, int arg);
int Q8_cmd_flash_fw(char* line, int arg);
int Q8_cmd_create_xfw(char* line);
int Q8_create_xfw(const char* raw_path, const char* xfw_path, int major, int minor, int scramble);
int Q8_cmd_create_menu(menu* m, int arg);

// ---- asynchronous events ---------------------------------------------------------------------

int Q8_cmd_hook_events(int handle);
int Q8_event_spectrum_data(int handle, void* ctx, const unsigned char* frame, int user);
int Q8_event_keyboard_data(int handle, void* ctx, const unsigned char* frame, int user);
int Q8_event_total_data(int handle, void* ctx, const unsigned char* frame, int user);
int Q8_event_status_data(int handle, void* ctx, const unsigned char* frame, int user);
int Q8_event_light_sensor_data(int handle, void* ctx, const unsigned char* frame, int user);
int Q8_event_progress_indication_data(int handle, void* ctx, const unsigned char* frame, int user);
int Q8_event_cs_stab_data(int handle, void* ctx, const unsigned char* frame, int user);

// Writes the spectrum text (two header values, one line per channel, the scale line) as the
// new contents of the file at `path`, replaced whole (safe_file.h), or, when `text` is given,
// into `text` instead (no file). Returns 0 always.
int SaveSpec(const char* path, const int32_t* values, int count, int32_t first, int32_t second,
             float scale, char* text);
