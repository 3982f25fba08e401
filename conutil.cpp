// The menu engine and the console input functions.
#include "conutil.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include <algorithm>

#include "libcomm.h"
#include "qxx_cmds.h"
#include "safe_text.h"
#include "sysfile.h"

namespace {

FILE* input_stream = nullptr;  // null: standard input
bool input_at_end = false;
bool input_started = false;  // a line was read from this stream already

constexpr char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";
constexpr size_t BOM_SIZE = sizeof BYTE_ORDER_MARK - 1;

FILE* in() {
    return input_stream ? input_stream : stdin;
}

// ---- the input's encoding
// ------------------------------------------------------------------------
//
// A script saved by Windows PowerShell 5.1 (its `>` and Out-File write UTF-16LE) starts with a
// UTF-16 byte-order mark: such input is decoded and handed on as UTF-8, CR LF as LF, as a console's
// input is. Any other input is read as its bytes.

enum class Encoding { unknown, bytes, utf16le, utf16be };
Encoding input_encoding = Encoding::unknown;
std::string pending;  // read from the stream (decoded) and not handed out yet

constexpr unsigned REPLACEMENT = 0xFFFD;  // for a surrogate without its partner

// Looks at the first two bytes of the stream, once; bytes that are no UTF-16 mark stay pending.
void detect_encoding() {
    input_encoding = Encoding::bytes;
    if (sys_is_console(in())) return;  // read as UTF-16 already, and never to be peeked at
    const int first = fgetc(in());
    if (first == EOF) return;
    if (first != 0xFF && first != 0xFE) {
        ungetc(first, in());
        return;
    }
    const int second = fgetc(in());
    if (first == 0xFF && second == 0xFE) {
        input_encoding = Encoding::utf16le;
    } else if (first == 0xFE && second == 0xFF) {
        input_encoding = Encoding::utf16be;
    } else {
        pending += static_cast<char>(first);
        if (second != EOF) pending += static_cast<char>(second);
    }
}

// The next UTF-16 code unit; -1 at the end (an odd last byte is dropped).
long next_unit() {
    const int a = fgetc(in());
    const int b = a == EOF ? EOF : fgetc(in());
    if (b == EOF) return -1;
    return input_encoding == Encoding::utf16le ? (b << 8 | a) : (a << 8 | b);
}

void append_utf8(std::string* out, unsigned c) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | c >> 6);
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | c >> 12);
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | c >> 18);
        *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

long lookahead = -1;  // a UTF-16 unit read ahead and not decoded yet

long take_unit() {
    const long unit = lookahead >= 0 ? lookahead : next_unit();
    lookahead = -1;
    return unit;
}

// Decodes one character into `pending`, CR LF as LF; false at the end of input.
bool decode_character() {
    const long unit = take_unit();
    if (unit < 0) return false;
    unsigned c = static_cast<unsigned>(unit);
    if (c >= 0xD800 && c <= 0xDBFF) {
        const long low = take_unit();
        if (low >= 0xDC00 && low <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned>(low) - 0xDC00);
        } else {
            c = REPLACEMENT;
            lookahead = low;
        }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
        c = REPLACEMENT;
    }
    if (c == '\n' && !pending.empty() && pending.back() == '\r')
        pending.back() = '\n';
    else
        append_utf8(&pending, c);
    return true;
}

// Decodes until `pending` holds a line end or `room` bytes.
void decode_utf16(size_t room) {
    while (pending.find('\n') == std::string::npos && pending.size() < room && decode_character()) {
    }
    // A CR at the end of the room may start a CR LF: the next character tells.
    if (!pending.empty() && pending.back() == '\r' && pending.find('\n') == std::string::npos)
        decode_character();
}

// The next line (as fgets gives it: at most size - 1 bytes, the line end kept) from the input in
// its encoding; null at its end. A line of decoded text is cut between characters.
char* read_line(char* buffer, int size) {
    if (input_encoding == Encoding::unknown) detect_encoding();
    const size_t room = static_cast<size_t>(size - 1);
    if (input_encoding == Encoding::bytes) {
        if (pending.empty()) return sys_read_line(buffer, size, in());
        // The bytes looked at first, then the rest of their line.
        while (pending.find('\n') == std::string::npos && pending.size() < room &&
               sys_read_line(buffer, static_cast<int>(room - pending.size() + 1), in()) != nullptr)
            pending += buffer;
    } else {
        decode_utf16(room);
    }
    if (pending.empty()) return nullptr;
    const size_t end = pending.find('\n');
    size_t take = std::min(end == std::string::npos ? pending.size() : end + 1, room);
    if (input_encoding != Encoding::bytes && take < pending.size()) {
        size_t whole = take;
        while (whole > 0 && (static_cast<unsigned char>(pending[whole]) & 0xC0) == 0x80) --whole;
        if (whole > 0) take = whole;  // a buffer too small for one character gets a piece of it
    }
    memcpy(buffer, pending.data(), take);
    buffer[take] = '\0';
    pending.erase(0, take);
    return buffer;
}

bool is_separator(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// The first word of a line (blank, tab and newline separate words): start and length.
const char* first_word(const char* line, size_t* length) {
    while (*line && is_separator(*line)) ++line;
    const char* end = line;
    while (*end && !is_separator(*end)) ++end;
    *length = static_cast<size_t>(end - line);
    return line;
}

bool word_equals(const char* word, size_t length, const char* text) {
    return text != nullptr && strlen(text) == length && strncasecmp(word, text, length) == 0;
}

// Reads a signed decimal number as "%d" does. Out-of-range numbers are refused rather than
// wrapped.
bool parse_decimal(const char* text, int32_t* out) {
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

// Reads a hexadecimal number as "%x" does (leading white space, optional sign, optional 0x),
// into 32 bits. Numbers wider than 32 bits are refused.
bool parse_hex(const char* text, uint32_t* out) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (!isxdigit(static_cast<unsigned char>(*p))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(p, &end, 16);
    if (end == p || errno == ERANGE || v > 0xFFFFFFFFull) return false;
    uint32_t u = static_cast<uint32_t>(v);
    *out = negative ? static_cast<uint32_t>(0u - u) : u;
    return true;
}

// The prompt-answer loop shared by every reader: `accept` parses a non-empty answer and stores
// it, returning true; an empty answer (or the end of input) keeps the value.
template <typename Prompt, typename Accept>
int ask(Prompt prompt, Accept accept) {
    char line[INPUT_LINE_SIZE];
    for (;;) {
        prompt();
        input_get(line, sizeof line);
        if (input_empty(line)) return 0;
        if (accept(line)) return 0;
    }
}

// The piece `index` places after the command word, splitting the line in place at blanks.
const char* command_parameter(char* line, int index) {
    if (line == nullptr) return nullptr;
    char* save = nullptr;
    char* piece = strtok_r(line, " ", &save);
    for (int i = 0; piece != nullptr && i < index; ++i) piece = strtok_r(nullptr, " ", &save);
    return piece;
}

}  // namespace

// ---- the device commands' convention -----------------------------------------------------------

bool cmd_connected(void) {
    if (connected != 0) return true;
    log_error("\nDevice not connected!\n");
    return false;
}

bool cmd_request_ok(const char* command, int result) {
    if (result == 0) return true;
    log_error("Command %s error(code=%d)!\n", command, result);
    return false;
}

// ---- line primitives ---------------------------------------------------------------------------

void input_set_stream(FILE* stream) {
    input_stream = stream;
    input_at_end = input_started = false;
    input_encoding = Encoding::unknown;
    pending.clear();
    lookahead = -1;
}

int input_ended(void) {
    return input_at_end ? 1 : 0;
}

int input_get(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = '\0';
    if (size < 2) return 0;
    if (read_line(buffer, size) == nullptr) {
        buffer[0] = '\0';
        input_at_end = true;
        return 0;
    }
    size_t length = strlen(buffer);
    if (input_encoding != Encoding::bytes) return 0;  // decoded: CR LF is LF already
    // A script saved by a Windows editor may start with a byte-order mark: it is not an answer.
    // The line then reads on as far as it would have without the mark.
    const bool first = !input_started;
    input_started = true;
    if (first && strncmp(buffer, BYTE_ORDER_MARK, BOM_SIZE) == 0) {
        length -= BOM_SIZE;
        memmove(buffer, buffer + BOM_SIZE, length + 1);
        if (length > 0 && buffer[length - 1] != '\n' &&
            fgets(buffer + length, static_cast<int>(BOM_SIZE + 1), in()) != nullptr)
            length = strlen(buffer);
    }
    // CR LF line ends (a script written on Windows) read as LF, also when the CR is the last
    // character that fitted.
    if (length > 0 && buffer[length - 1] == '\r') {
        const int next = fgetc(in());
        if (next == '\n')
            buffer[length - 1] = '\n';
        else if (next != EOF)
            ungetc(next, in());
    } else if (length > 1 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
        buffer[length - 2] = '\n';
        buffer[length - 1] = '\0';
    }
    return 0;
}

int input_empty(const char* line) {
    size_t length = 0;
    first_word(line, &length);
    return length == 0 ? 1 : 0;
}

int input_equal(const char* line, const char* name, const char* code) {
    size_t length = 0;
    const char* word = first_word(line, &length);
    if (length == 0) return 0;
    return (word_equals(word, length, name) || word_equals(word, length, code)) ? 1 : 0;
}

int input_has_params(const char* line) {
    return strchr(line, ' ') != nullptr ? 1 : 0;
}

int input_wait_enter(void) {
    char line[INPUT_LINE_SIZE];
    input_get(line, sizeof line);
    return 0;
}

// ---- parsers -----------------------------------------------------------------------------------

int input_integer(const char* text, int32_t* value, int32_t min, int32_t max) {
    int32_t v;
    if (!parse_decimal(text, &v) || v < min || v > max) return 0;
    *value = v;
    return 1;
}

int input_hex_integer(const char* text, uint32_t* value, uint32_t min, uint32_t max) {
    uint32_t v;
    if (!parse_hex(text, &v) || v < min || v > max) return 0;
    *value = v;
    return 1;
}

// "%x" into a signed 32-bit value, compared with the unsigned 8- or 16-bit limits: so -1 and
// 0x100 are both out of a byte's range.
int input_hex_char(const char* text, uint8_t* value, uint8_t min, uint8_t max) {
    uint32_t u;
    if (!parse_hex(text, &u)) return 0;
    int32_t v = static_cast<int32_t>(u);
    if (v < min || v > max) return 0;
    *value = static_cast<uint8_t>(v);
    return 1;
}

int input_hex_short(const char* text, uint16_t* value, uint16_t min, uint16_t max) {
    uint32_t u;
    if (!parse_hex(text, &u)) return 0;
    int32_t v = static_cast<int32_t>(u);
    if (v < min || v > max) return 0;
    *value = static_cast<uint16_t>(v);
    return 1;
}

int input_float(const char* text, float* value, float min, float max) {
    char* end = nullptr;
    float v = strtof(text, &end);
    if (end == text || !(v >= min && v <= max)) return 0;  // NaN fails both comparisons
    *value = v;
    return 1;
}

int input_string(const char* text, char* value, unsigned int min, unsigned int max) {
    const char* p = text;
    while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
    const char* end = p;
    while (*end && !isspace(static_cast<unsigned char>(*end))) ++end;
    size_t length = static_cast<size_t>(end - p);
    if (length == 0 || length < min || length > max) return 0;
    memcpy(value, p, length);
    value[length] = '\0';
    return 1;
}

// ---- prompted readers --------------------------------------------------------------------------

int input_integer_msg(int32_t* value, int32_t min, int32_t max, const char* prompt) {
    return ask([&] { log_write("MAIN", "%s[%d]:", prompt, *value); },
               [&](const char* line) { return input_integer(line, value, min, max) == 1; });
}

int input_char_msg(int8_t* value, int32_t min, int32_t max, const char* prompt) {
    int32_t lo = static_cast<int8_t>(min), hi = static_cast<int8_t>(max);
    return ask([&] { log_write("MAIN", "%s[%d]:", prompt, *value); },
               [&](const char* line) {
                   int32_t v;
                   if (!input_integer(line, &v, lo, hi)) return false;
                   *value = static_cast<int8_t>(v);
                   return true;
               });
}

int input_uchar_msg(uint8_t* value, int32_t min, int32_t max, const char* prompt) {
    int32_t lo = static_cast<uint8_t>(min), hi = static_cast<uint8_t>(max);
    return ask([&] { log_write("MAIN", "%s[%d]:", prompt, *value); },
               [&](const char* line) {
                   int32_t v;
                   if (!input_integer(line, &v, lo, hi)) return false;
                   *value = static_cast<uint8_t>(v);
                   return true;
               });
}

int input_short_msg(int16_t* value, int32_t min, int32_t max, const char* prompt) {
    return ask([&] { log_write("MAIN", "%s[%d]:", prompt, *value); },
               [&](const char* line) {
                   int32_t v;
                   if (!input_integer(line, &v, min, max)) return false;
                   *value = static_cast<int16_t>(static_cast<uint16_t>(v));
                   return true;
               });
}

int input_hex_integer_msg(uint32_t* value, uint32_t min, uint32_t max, const char* prompt) {
    return ask([&] { log_write("MAIN", "%s[0x%.8x]:", prompt, *value); },
               [&](const char* line) { return input_hex_integer(line, value, min, max) == 1; });
}

int input_hex_char_msg(uint8_t* value, uint8_t min, uint8_t max, const char* prompt) {
    return ask([&] { log_write("MAIN", "%s[0x%.2x]:", prompt, *value); },
               [&](const char* line) { return input_hex_char(line, value, min, max) == 1; });
}

int input_hex_short_msg(uint16_t* value, uint16_t min, uint16_t max, const char* prompt) {
    return ask([&] { log_write("MAIN", "%s[0x%.2x]:", prompt, *value); },
               [&](const char* line) { return input_hex_short(line, value, min, max) == 1; });
}

int input_float_msg(float* value, float min, float max, const char* prompt) {
    return ask([&] { log_write("MAIN", "%s[%.3f]:", prompt, static_cast<double>(*value)); },
               [&](const char* line) { return input_float(line, value, min, max) == 1; });
}

int input_string_msg(char* value, unsigned int min, unsigned int max, const char* prompt) {
    char scratch[INPUT_LINE_SIZE] = {};
    // The value shown may be a device's (the serial number's last characters).
    return ask(
        [&] { log_write("MAIN", "%s[%s]:", prompt, device_text(value, strlen(value)).c_str()); },
        [&](const char* line) {
            if (max >= sizeof scratch || !input_string(line, scratch, min, max)) return false;
            memcpy(value, scratch, strlen(scratch) + 1);
            return true;
        });
}

int input_yesno_msg(int32_t* value, const char* prompt) {
    return ask([&] { log_write("MAIN", "%s[%s]:", prompt, *value ? "yes" : "no"); },
               [&](const char* line) {
                   if (input_equal(line, "yes", "y")) {
                       *value = 1;
                       return true;
                   }
                   if (input_equal(line, "no", "n")) {
                       *value = 0;
                       return true;
                   }
                   return false;
               });
}

int input_integer_msg_cmd(int32_t* value, int32_t min, int32_t max, const char* prompt, char* line,
                          int index) {
    const char* piece = command_parameter(line, index);
    if (piece != nullptr && input_integer(piece, value, min, max)) return 0;
    return input_integer_msg(value, min, max, prompt);
}

int input_string_msg_cmd(char* value, unsigned int min, unsigned int max, const char* prompt,
                         char* line, int index) {
    char scratch[INPUT_LINE_SIZE] = {};
    const char* piece = command_parameter(line, index);
    if (piece != nullptr && max < sizeof scratch && input_string(piece, scratch, min, max)) {
        memcpy(value, scratch, strlen(scratch) + 1);
        return 0;
    }
    return input_string_msg(value, min, max, prompt);
}

// ---- menu --------------------------------------------------------------------------------------

void menu_init(menu* m) {
    memset(m, 0, sizeof *m);
}

menu* menu_add(menu* m, const char* code, const char* name, const char* help,
               menu_handler handler) {
    menu_entry& e = m->entries[m->count++];
    snprintf(e.code, sizeof e.code, "%s", code ? code : "");
    snprintf(e.name, sizeof e.name, "%s", name ? name : "");
    snprintf(e.help, sizeof e.help, "%s", help ? help : "");
    e.handler = handler;
    unsigned int width = static_cast<unsigned int>(strlen(e.name));
    if (width > m->name_width) m->name_width = width;
    return m;
}

// Each row is one log call (so an event line from the other thread never splits a row): the
// code right-aligned in three columns, the name, blanks up to the longest name, the help text.
int menu_print(const menu* m) {
    log_write("MAIN", "[ he] help\n");
    for (int i = 0; i < m->count; ++i) {
        const menu_entry& e = m->entries[i];
        int pad = static_cast<int>(m->name_width - strlen(e.name));
        log_write("MAIN", "[%3s] %s%*s - %s\n", e.code, e.name, pad, "", e.help);
    }
    return m->count;
}

int menu_run(menu* m) {
    char line[MENU_LINE_SIZE];
    for (;;) {
        log_write("MAIN", ">");
        input_get(line, sizeof line);
        if (line[0] == '\0' && input_ended()) return 0;  // no more input: as if quit
        if (input_equal(line, "help", "he")) menu_print(m);
        for (int i = 0; i < m->count; ++i) {
            menu_entry& e = m->entries[i];
            if (!input_equal(line, e.name, e.code)) continue;
            if (e.handler == nullptr) return 0;
            e.handler(line, 0);
        }
    }
}
