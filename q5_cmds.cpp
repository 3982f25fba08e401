#include "q5_cmds.h"

char serial_no[9];

// The container writer, upload and flash are not built yet: every call fails.
int Q5_create_xfw(const char*, const char*, int, int, int, const char*, int, int) { return -1; }
int Q5_cmd_create_xfw(char*, const char*, const char*, const char*, int, int) { return -1; }
int Q5_cmd_upload_xfw(char*, const char*, int, int) { return -1; }
int Q5_cmd_flash_fw(char*, const char*) { return -1; }
