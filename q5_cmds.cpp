#include "q5_cmds.h"

char serial_no[9];

// The container writer, upload and flash are not built yet: every call fails.
int Q5_create_xfw(const char*, const char*, int, int, int, const char*, int, int) { return -1; }
int Q5_cmd_create_xfw(char*, const char*, const char*, const char*, int, int) { return -1; }
int Q5_cmd_upload_xfw(char*, const char*, int, int) { return -1; }
int Q5_cmd_flash_fw(char*, const char*) { return -1; }

// The console commands are not built yet: every call fails and sends nothing.
int Q5_cmd_get_serial(char*, int) { return -1; }
int Q5_cmd_set_serial(char*, int) { return -1; }
int Q5_cmd_get_time(char*, int) { return -1; }
int Q5_cmd_set_time(char*, int) { return -1; }
