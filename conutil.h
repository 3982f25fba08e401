// The console: the menu engine and every prompted question of the program.
//
// All of it runs on the console thread. Prompts are written under the log category "MAIN";
// an empty answer keeps the current value; an invalid answer repeats the question silently.
// When standard input has ended, every reader keeps its value and returns, and menu_run
// returns as if quit had been chosen, so `nv-term < script` always terminates.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- menu ------------------------------------------------------------------------------------

// A command handler: the typed line (writable, still ending with the newline) and an integer
// the menu passes as 0. Returns 0 after success, -1 after failure; the menu ignores it.
typedef int (*menu_handler)(char* line, int arg);

constexpr int MENU_MAX_ENTRIES = 255;
constexpr int MENU_LINE_SIZE = 255;  // a command line: at most 254 characters

struct menu_entry {
    char code[4];
    char name[16];
    char help[64];
    menu_handler handler;  // null: choosing the entry ends the menu loop
};

struct menu {
    int count;
    unsigned int name_width;
    menu_entry entries[MENU_MAX_ENTRIES];
};

void menu_init(menu* m);
menu* menu_add(menu* m, const char* code, const char* name, const char* help, menu_handler handler);
int menu_print(const menu* m);
int menu_run(menu* m);

// ---- the device commands' convention --------------------------------------------------------

// Every device command asks first: true while a device is linked; otherwise "\nDevice not
// connected!\n" is reported and the command returns -1 without sending anything.
bool cmd_connected(void);
// True when a request's result is 0; otherwise "Command %s error(code=%d)!\n" is reported with
// the command's own name and the result, and the command returns -1.
bool cmd_request_ok(const char* command, int result);

// ---- line primitives -------------------------------------------------------------------------

constexpr int INPUT_LINE_SIZE = 1024;  // an answer line: at most 1023 characters

int input_get(char* buffer, int size);
int input_empty(const char* line);
int input_equal(const char* line, const char* name, const char* code);
int input_has_params(const char* line);
int input_wait_enter(void);
// 1 once standard input has ended (no more lines can be read).
int input_ended(void);
// Reads from `stream` instead of standard input (null: standard input again). For tests.
void input_set_stream(FILE* stream);

// ---- parsers: 1 accepted, 0 rejected ---------------------------------------------------------

int input_integer(const char* text, int32_t* value, int32_t min, int32_t max);
int input_hex_integer(const char* text, uint32_t* value, uint32_t min, uint32_t max);
int input_hex_char(const char* text, uint8_t* value, uint8_t min, uint8_t max);
int input_hex_short(const char* text, uint16_t* value, uint16_t min, uint16_t max);
int input_float(const char* text, float* value, float min, float max);
int input_string(const char* text, char* value, unsigned int min, unsigned int max);

// ---- prompted readers (all return 0) ---------------------------------------------------------

int input_integer_msg(int32_t* value, int32_t min, int32_t max, const char* prompt);
int input_char_msg(int8_t* value, int32_t min, int32_t max, const char* prompt);
int input_uchar_msg(uint8_t* value, int32_t min, int32_t max, const char* prompt);
int input_short_msg(int16_t* value, int32_t min, int32_t max, const char* prompt);
int input_hex_integer_msg(uint32_t* value, uint32_t min, uint32_t max, const char* prompt);
int input_hex_char_msg(uint8_t* value, uint8_t min, uint8_t max, const char* prompt);
int input_hex_short_msg(uint16_t* value, uint16_t min, uint16_t max, const char* prompt);
int input_float_msg(float* value, float min, float max, const char* prompt);
// `value` must hold a terminated text on entry and room for `max` characters and a terminator.
int input_string_msg(char* value, unsigned int min, unsigned int max, const char* prompt);
int input_yesno_msg(int32_t* value, const char* prompt);

// The same readers, first looking for the answer on the command line: the piece `index`
// places after the command word. The line is split in place, so only the first such reader
// called on a line can find a parameter.
int input_integer_msg_cmd(int32_t* value, int32_t min, int32_t max, const char* prompt, char* line,
                          int index);
int input_string_msg_cmd(char* value, unsigned int min, unsigned int max, const char* prompt,
                         char* line, int index);
