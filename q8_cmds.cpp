#include "q8_cmds.h"

#include "q5_cmds.h"

// ---- firmware: the instrument's forms of the container, upload and flash commands ------------

int Q8_create_xfw(const char* raw_path, const char* xfw_path, int major, int minor,
                  int scramble) {
    return Q5_create_xfw(raw_path, xfw_path, major, minor, scramble, "NV-52", -1, 12);
}

int Q8_cmd_create_xfw(char* line) {
    return Q5_cmd_create_xfw(line, "nv52fw.tar", "nv52fw.xfw", "NV-52", -1, 12);
}

int Q8_cmd_upload_xfw(char* line, int) { return Q5_cmd_upload_xfw(line, "nv52fw.xfw", 12, -1); }

int Q8_cmd_flash_fw(char* line, int) { return Q5_cmd_flash_fw(line, "nv52fw.xfw"); }

// The instrument's event handlers are registered once its menu exists.
int Q8_cmd_hook_events(int) { return 0; }
