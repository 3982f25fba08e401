// Q5 console commands and menu, the firmware container writer, upload and flashing.
#pragma once

#include <ctime>

#include "conutil.h"

extern char serial_no[9];  // the serial number last read by Q5_cmd_get_serial

// The PC clock as local calendar time, read by set time and by the container writer (its date
// and time fields). Tests replace it with a fixed time.
typedef void (*q5_clock_proc)(struct tm* now);
extern q5_clock_proc Q5_local_now;

int Q5_cmd_get_fw_version(char* line, int arg);
int Q5_cmd_get_serial(char* line, int arg);
int Q5_cmd_set_serial(char* line, int prefix);  // prefix: 0 for none, else the leading letter
int Q5_cmd_get_time(char* line, int arg);
int Q5_cmd_set_time(char* line, int arg);
int Q5_cmd_restart(char* line, int arg);
int Q5_cmd_hook_events(void);
int Q5_cmd_create_menu(menu* m);

// ---- firmware container (.xfw, xfw.h): its writer, upload and flashing -------------------------

int Q5_create_xfw(const char* raw_path, const char* xfw_path, int major, int minor, int scramble,
                  const char* model, int length_limit, int dev_type);
int Q5_cmd_create_xfw(char* line, const char* raw_name, const char* xfw_name, const char* model,
                      int length_limit, int dev_type);
int Q5_cmd_upload_xfw(char* line, const char* xfw_name, int dev_type, int length_limit);
int Q5_cmd_flash_fw(char* line, const char* xfw_name);
