// The instrument's console commands, its record print-outs and dialogues, its event handlers,
// the spectrum file and the menu.
//
// Commands run on the console thread; the event handlers run on the link's I/O thread and
// share nothing with the commands but the log and the file "spect.spc".
#include "q8_cmds.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "libcomm.h"
#include "q5_cmds.h"
#include "q8_comm.h"
#include "q8_spectrum.h"
#include "qxx_cmds.h"
#include "qxx_comm.h"
#include "safe_text.h"

namespace {

constexpr int WAIT = 1;

// ---- record print-outs -------------------------------------------------------------------------

// How a line of a print-out takes its value from the record.
enum class Show {
    text,       // the format alone, no value
    u16,        // unsigned 16-bit, printed with %d or %x
    i32,        // signed 32-bit
    f32,        // float, widened to double
    f32_whole,  // float printed with %d: the fraction dropped
    flag,       // one bit of a u32: `on` when set, else `off`
    clock,      // three i32 at offset, +4, +8
};

struct Line {
    const char* format;
    Show show;
    int offset;
    int bit;
    const char* on;
    const char* off;
};

// A float as a whole number, fraction dropped; values beyond the int range saturate and NaN
// gives 0 (a plain cast of those would be undefined).
int whole(float f) {
    if (f != f) return 0;
    if (f >= 2147483648.0f) return INT32_MAX;
    if (f < -2147483648.0f) return INT32_MIN;
    return static_cast<int>(f);
}

void print_record(const unsigned char* rec, std::span<const Line> lines) {
    for (const Line& l : lines) {
        const unsigned char* p = rec + l.offset;
        switch (l.show) {
            case Show::text:
                log_write("MAIN", "%s", l.format);
                break;
            case Show::u16:
                log_write("MAIN", l.format, static_cast<int>(get_u16le(p)));
                break;
            case Show::i32:
                log_write("MAIN", l.format, get_i32le(p));
                break;
            case Show::f32:
                log_write("MAIN", l.format, static_cast<double>(get_f32le(p)));
                break;
            case Show::f32_whole:
                log_write("MAIN", l.format, whole(get_f32le(p)));
                break;
            case Show::flag:
                log_write("MAIN", l.format, (get_u32le(p) >> l.bit) & 1u ? l.on : l.off);
                break;
            case Show::clock:
                log_write("MAIN", l.format, get_i32le(p), get_i32le(p + 4), get_i32le(p + 8));
                break;
        }
    }
}

// q8_status: 346 bytes, little-endian, fields at odd offsets.
constexpr int ST_BAT_FLAGS = 98;
constexpr std::array<Line, 30> STATUS_LINES{{
    {"Status\n", Show::text, 0, 0, nullptr, nullptr},
    {"Status.usb_status         = %d\n", Show::u16, 6, 0, nullptr, nullptr},
    {"Status.bt_status          = %d\n", Show::u16, 8, 0, nullptr, nullptr},
    {"Status.wifi_status        = %d\n", Show::u16, 10, 0, nullptr, nullptr},
    {"Status.stab_status        = %d\n", Show::i32, 56, 0, nullptr, nullptr},
    {"Status.alarm              = %d\n", Show::i32, 52, 0, nullptr, nullptr},
    {"\n", Show::text, 0, 0, nullptr, nullptr},
    {"Status.bat_charger_status = %s\n", Show::flag, ST_BAT_FLAGS, 0, "Ok", "No comm"},
    {"Status.bat_voltage        = %.1f mV\n", Show::f32, 102, 0, nullptr, nullptr},
    {"Status.bat_gauge          = %.1f%%\n", Show::f32, 106, 0, nullptr, nullptr},
    {"Status.bat_change_rate    = %.1f %%hr\n", Show::f32, 110, 0, nullptr, nullptr},
    {"battery charging          = %s\n", Show::flag, ST_BAT_FLAGS, 1, "Yes", "No"},
    {"battery ac adapter        = %s\n", Show::flag, ST_BAT_FLAGS, 2, "Connected", "Not Connected"},
    {"\n", Show::text, 0, 0, nullptr, nullptr},
    {"Status.gpp_status         = %d\n", Show::u16, 4, 0, nullptr, nullptr},
    {"\n", Show::text, 0, 0, nullptr, nullptr},
    {"Status.gps_power_status   = %d\n", Show::i32, 174, 0, nullptr, nullptr},
    {"Status.gps_comm_status    = %d\n", Show::i32, 178, 0, nullptr, nullptr},
    {"Status.gps_latitude       = %2.5f\n", Show::f32, 182, 0, nullptr, nullptr},
    {"Status.gps_longitude      = %3.5f\n", Show::f32, 186, 0, nullptr, nullptr},
    {"Status.gps_altitude       = %.2f\n", Show::f32, 190, 0, nullptr, nullptr},
    {"Status.gps_satellites     = %d\n", Show::i32, 194, 0, nullptr, nullptr},
    {"Status.gps_time           = %d:%d:%d\n", Show::clock, 198, 0, nullptr, nullptr},
    {"\n", Show::text, 0, 0, nullptr, nullptr},
    {"Status.lightsens_status   = %d\n", Show::i32, 238, 0, nullptr, nullptr},
    {"Status.lightsens_int      = %d\n", Show::i32, 242, 0, nullptr, nullptr},
    {"Status.lightsens_mono     = %d\n", Show::i32, 246, 0, nullptr, nullptr},
    {"\n", Show::text, 0, 0, nullptr, nullptr},
    {"System status             = %x\n", Show::u16, 0, 0, nullptr, nullptr},
    {"\n", Show::text, 0, 0, nullptr, nullptr},
}};

// q8_params: 1400 bytes; the level-2 gamma threshold is the i32 at 414.
constexpr std::array<Line, 31> PARAM_LINES{{
    {"Params public\n", Show::text, 0, 0, nullptr, nullptr},
    {"params.ident_time     = %d\n", Show::u16, 0, 0, nullptr, nullptr},
    {"params.dose_units     = %d\n", Show::u16, 2, 0, nullptr, nullptr},
    {"params.record_survey  = %d\n", Show::u16, 4, 0, nullptr, nullptr},
    {"params.contrast       = %d\n", Show::u16, 134, 0, nullptr, nullptr},
    {"params.usb_mode       = %d\n", Show::u16, Q8_PAR_USB_MODE, 0, nullptr, nullptr},
    {"params.bg_floating    = %d\n", Show::u16, 274, 0, nullptr, nullptr},
    {"params.bg_const       = %d\n", Show::i32, 268, 0, nullptr, nullptr},
    {"params.gps_enable     = %d\n", Show::u16, 138, 0, nullptr, nullptr},
    {"params.bg_acquire_len = %d\n", Show::u16, 272, 0, nullptr, nullptr},
    {"params.gamma_alarm_status           = %d\n", Show::u16, 404, 0, nullptr, nullptr},
    {"params.gamma_alarm_threshold_l1     = %d\n", Show::i32, 406, 0, nullptr, nullptr},
    {"params.gamma_alarm_threshold_l2     = %d\n", Show::i32, 414, 0, nullptr, nullptr},
    {"params.gamma_alarm_threshold_l3     = %d\n", Show::i32, 418, 0, nullptr, nullptr},
    {"params.gamma_alarm_threshold_l4     = %d\n", Show::i32, 422, 0, nullptr, nullptr},
    {"params.neutron_alarm_status         = %d\n", Show::u16, 694, 0, nullptr, nullptr},
    {"params.dose_rate_alarm_status       = %d\n", Show::u16, 552, 0, nullptr, nullptr},
    {"params.dose_rate_alarm_threshold_l1 = %d\n", Show::f32_whole, 554, 0, nullptr, nullptr},
    {"params.dose_rate_alarm_threshold_l2 = %d\n", Show::f32_whole, 578, 0, nullptr, nullptr},
    {"params.dose_rate_alarm_threshold_l3 = %d\n", Show::f32_whole, 582, 0, nullptr, nullptr},
    {"params.dose_rate_alarm_threshold_l4 = %d\n", Show::f32_whole, 586, 0, nullptr, nullptr},
    {"params.dose_rate_alarm_unit         = %d\n", Show::i32, 562, 0, nullptr, nullptr},
    {"params.dose_alarm_status            = %d\n", Show::u16, 542, 0, nullptr, nullptr},
    {"params.dose_alarm_threshold_l1      = %d\n", Show::f32_whole, 544, 0, nullptr, nullptr},
    {"params.dose_alarm_threshold_l2      = %d\n", Show::f32_whole, 566, 0, nullptr, nullptr},
    {"params.dose_alarm_threshold_l3      = %d\n", Show::f32_whole, 570, 0, nullptr, nullptr},
    {"params.dose_alarm_threshold_l4      = %d\n", Show::f32_whole, 574, 0, nullptr, nullptr},
    {"params.dose_alarm_unit              = %d\n", Show::i32, 548, 0, nullptr, nullptr},
    {"params.audio_volume                 = %d\n", Show::u16, 832, 0, nullptr, nullptr},
    {"params.audio_mode                   = %d\n", Show::u16, 834, 0, nullptr, nullptr},
    {"params.audio_sweep_threshold        = %d\n", Show::u16, 836, 0, nullptr, nullptr},
}};

// ---- record dialogues --------------------------------------------------------------------------

// How a question reads and stores its field. i32 fields and bits are read with the command-line
// reader, so the first of them takes a value typed after the command word.
enum class Ask { u16, i32, f32, bit };

struct Question {
    const char* prompt;
    Ask ask;
    int offset;
    int32_t min, max;
    int bit;
};

// Asks one question about the field in `rec`; an empty answer leaves its bytes as they were.
void ask_field(unsigned char* rec, const Question& q, char* line) {
    unsigned char* p = rec + q.offset;
    switch (q.ask) {
        case Ask::u16: {
            auto value = static_cast<int16_t>(get_u16le(p));
            input_short_msg(&value, q.min, q.max, q.prompt);
            put_u16le(p, static_cast<uint16_t>(value));
            break;
        }
        case Ask::i32: {
            int32_t value = get_i32le(p);
            input_integer_msg_cmd(&value, q.min, q.max, q.prompt, line, 1);
            put_i32le(p, value);
            break;
        }
        case Ask::f32: {
            // Through the bits, so a value the operator keeps goes back bit for bit (NaN too).
            uint32_t bits = get_u32le(p);
            float value;
            std::memcpy(&value, &bits, sizeof value);
            input_float_msg(&value, static_cast<float>(q.min), static_cast<float>(q.max), q.prompt);
            std::memcpy(&bits, &value, sizeof bits);
            put_u32le(p, bits);
            break;
        }
        case Ask::bit: {
            uint32_t flags = get_u32le(p);
            uint32_t mask = 1u << q.bit;
            int32_t value = (flags & mask) ? 1 : 0;
            input_integer_msg_cmd(&value, q.min, q.max, q.prompt, line, 1);
            put_u32le(p, value ? (flags | mask) : (flags & ~mask));
            break;
        }
    }
}

void ask_record(unsigned char* rec, std::span<const Question> questions, char* line) {
    for (const Question& q : questions) ask_field(rec, q, line);
}

constexpr std::array<Question, 23> STATUS_QUESTIONS{{
    {"wifi status:", Ask::u16, 10, 0, 1, 0},
    {"usb status:", Ask::u16, 6, 0, 1, 0},
    {"bluetooth status:", Ask::u16, 8, 0, 1, 0},
    {"record survey:", Ask::i32, 48, 0, 1, 0},
    {"system status:", Ask::u16, 0, 0, 255, 0},
    {"stab status:", Ask::i32, 56, 0, 1, 0},
    {"alarm status:", Ask::i32, 52, 0, 65535, 0},
    {"bat. charger status:", Ask::bit, ST_BAT_FLAGS, 0, 1, 0},
    {"bat. voltage [mV] :", Ask::f32, 102, 0, 65535, 0},
    {"bat. gauge [%]:", Ask::f32, 106, 0, 100, 0},
    {"bat. change rate [%%hr]:", Ask::f32, 110, -65535, 65535, 0},
    {"bat. charging:", Ask::bit, ST_BAT_FLAGS, 0, 1, 1},
    {"bat. ac adapter:", Ask::bit, ST_BAT_FLAGS, 0, 1, 2},
    {"GPP status:", Ask::u16, 4, 0, 1, 0},
    {"GPS Power status:", Ask::i32, 174, 0, 1, 0},
    {"GPS comm status:", Ask::i32, 178, 0, 2, 0},
    {"GPS latitude:", Ask::f32, 182, -90, 90, 0},
    {"GPS longitude:", Ask::f32, 186, -180, 180, 0},
    {"GPS Altitude [m]:", Ask::f32, 190, 0, 20000, 0},
    {"GPS satellites:", Ask::i32, 194, 0, 9, 0},
    {"Light sensor status:", Ask::i32, 238, 0, 1, 0},
    {"Light sensor intensity:", Ask::i32, 242, 0, 100, 0},
    {"Light sensor mono:", Ask::i32, 246, 0, 1, 0},
}};

// Only level 1 of each threshold set is edited; every other byte goes back as read.
constexpr std::array<Question, 21> PARAM_QUESTIONS{{
    {"Identify time:", Ask::u16, 0, 0, 600, 0},
    {"Dose units:", Ask::u16, 2, 0, 2, 0},
    {"Record survey:", Ask::u16, 4, 0, 1, 0},
    {"Contrast:", Ask::u16, 134, 0, 2, 0},
    {"USB mode:", Ask::u16, Q8_PAR_USB_MODE, 0, 2, 0},
    {"Floating BG:", Ask::u16, 274, 0, 1, 0},
    {"BG const:", Ask::i32, 268, 0, 999, 0},
    {"GPS enable:", Ask::u16, 138, 0, 1, 0},
    {"BG acquire:", Ask::u16, 272, 0, 100, 0},
    {"Gamma alarm status:", Ask::u16, 404, 0, 1, 0},
    {"Gamma alarm threshold level 1:", Ask::i32, 406, 0, 10, 0},
    {"Neutron alarm status:", Ask::u16, 694, 0, 1, 0},
    {"Dose alarm status:", Ask::u16, 542, 0, 1, 0},
    {"Dose rate alarm status:", Ask::u16, 552, 0, 1, 0},
    {"Dose rate alarm threshold level 1:", Ask::f32, 554, 0, 999, 0},
    {"Dose rate alarm unit:", Ask::i32, 562, 0, 8, 0},
    {"Dose alarm threshold level 1:", Ask::f32, 544, 0, 999, 0},
    {"Dose alarm unit:", Ask::i32, 548, 0, 8, 0},
    {"Audio volume:", Ask::u16, 832, 0, 2, 0},
    {"Audio mode:", Ask::u16, 834, 0, 2, 0},
    {"Sweep threshold:", Ask::u16, 836, 0, 2, 0},
}};

// ---- versions ----------------------------------------------------------------------------------

constexpr std::array<const char*, Q8_VERSION_FIELDS> VERSION_LABELS{
    "Overall\t\t", "File system\t", "Gui\t\t", "Talvek\t\t", "Gpp\t\t", "Kernel\t\t"};

// ---- the two manual accumulation procedures ----------------------------------------------------

struct Procedure {
    const char* name;
    const char* box_text;
    int (*start)(int handle, int wait);
    int (*stop)(int handle, int wait);
};

constexpr const char* BOX_EDGE = "______________________________________________\n";

constexpr Procedure ASSAY{"Q8_cmd_assay", "| Insert sample and press ENTER              |\n",
                          Q8_start_assay_acc_spectrum, Q8_stop_assay_acc_spectrum};
constexpr Procedure CS_STAB{"Q8_cmd_cs_stab", "| Insert Cs-137 and press ENTER              |\n",
                            Q8_start_cs_stab_acc_spectrum, Q8_stop_cs_stab_acc_spectrum};

// The accumulation lasts from the first Enter to the second; events print meanwhile.
int run_procedure(const Procedure& p) {
    if (!cmd_connected()) return -1;
    log_write("MAIN", "%s", BOX_EDGE);
    log_write("MAIN", "%s", p.box_text);
    log_write("MAIN", "%s", BOX_EDGE);
    input_wait_enter();
    if (!cmd_request_ok(p.name, p.start(id_conn, WAIT))) return -1;
    input_wait_enter();
    if (!cmd_request_ok(p.name, p.stop(id_conn, WAIT))) return -1;
    return 0;
}

// Fetches the record of `size` bytes with `fetch` and prints it by `lines`.
template <size_t size>
int show_record(const char* command, int (*fetch)(int, void*, int), std::span<const Line> lines) {
    if (!cmd_connected()) return -1;
    unsigned char record[size] = {};
    if (!cmd_request_ok(command, fetch(id_conn, record, WAIT))) return -1;
    print_record(record, lines);
    return 0;
}

// ---- events ------------------------------------------------------------------------------------

// Event data begins at frame offset 12; its size comes from the frame's length field, so a
// handler never reads past the frame it was given.
const unsigned char* event_data(const unsigned char* frame, int needed) {
    if (frame == nullptr || qxx_frame_payload_size(frame) < needed) return nullptr;
    return frame + QXX_OFF_PAYLOAD;
}

constexpr const char* SPECTRUM_FILE = "spect.spc";

// ---- menu --------------------------------------------------------------------------------------

struct MenuRow {
    const char* code;
    const char* name;
    const char* help;
    menu_handler handler;
};

constexpr std::array<MenuRow, 9> MENU_ROWS{{
    {"ve", "version", "displays device firmware version", Q8_cmd_get_fw_version},
    {"sa", "status", "displays device status", Q8_cmd_get_status},
    {"gt", "get time", "displays device date/time", Q8_cmd_get_time},
    {"st", "set time", "sets device date/time", Q8_cmd_set_time},
    {"up", "upload xfw", "uploads firmware file", Q8_cmd_upload_xfw},
    {"fl", "flash  fw", "flash firmware", Q8_cmd_flash_fw},
    {"pw", "power off", "Power off device", Q8_cmd_power_off},
    {"as", "assay", "start assay", Q8_cmd_assay},
    {"cs", "cs stab", "cs stabilization", Q8_cmd_cs_stab},
}};

}  // namespace

// ---- console commands --------------------------------------------------------------------------

int Q8_cmd_get_fw_version(char*, int) {
    if (!cmd_connected()) return -1;
    unsigned char versions[Q8_VERSIONS_SIZE] = {};
    if (!cmd_request_ok("Q8_cmd_get_fw_version", Q8_get_versions(id_conn, versions, WAIT)))
        return -1;
    log_write("MAIN", "\n");
    log_write("MAIN", "Versions\n");
    for (size_t i = 0; i < VERSION_LABELS.size(); ++i) {
        const char* field = reinterpret_cast<const char*>(versions + i * Q8_VERSION_FIELD);
        log_write("MAIN", "%s= %s\n", VERSION_LABELS[i],
                  device_text(field, Q8_VERSION_FIELD).c_str());
    }
    log_write("MAIN", "\n");
    return 0;
}

// The instrument answers the Q5 serial-number and time requests: its console commands are the
// Q5 ones. Its serial numbers begin with the letter B.
int Q8_cmd_get_serial(char* line, int arg) {
    return Q5_cmd_get_serial(line, arg);
}
int Q8_cmd_set_serial(char* line, int) {
    return Q5_cmd_set_serial(line, 'B');
}
int Q8_cmd_get_time(char* line, int arg) {
    return Q5_cmd_get_time(line, arg);
}
int Q8_cmd_set_time(char* line, int arg) {
    return Q5_cmd_set_time(line, arg);
}

// Lets the key, status, total and light-sensor event lines through until the operator presses
// Enter. Needs no connection: it only opens the log category.
int Q8_cmd_display_events(char*, int) {
    log_setlevel("EVENTS", 1);
    char answer[65] = "";
    input_string_msg(answer, 0, 64, "Enter to exit");
    log_setlevel("EVENTS", 0);
    return 0;
}

int Q8_cmd_setup_display(char* line, int) {
    if (!cmd_connected()) return -1;
    int32_t value = 1;
    input_integer_msg_cmd(&value, 0, 1, "display:", line, 1);
    if (!cmd_request_ok("Q8_cmd_setup_display", Q8_setup_display(id_conn, value, WAIT))) return -1;
    log_write("MAIN", "sent command 'SETUP DISPLAY'.\n");
    return 0;
}

int Q8_cmd_set_leds(char* line, int) {
    if (!cmd_connected()) return -1;
    int32_t left_right = 0, up_down = 0, enter = 0;
    log_write("MAIN", "Set leds.\n");
    input_integer_msg_cmd(&left_right, 0, 3, "Led left/right:", line, 1);
    input_integer_msg_cmd(&up_down, 0, 3, "Led up/down:", line, 1);
    input_integer_msg_cmd(&enter, 0, 3, "Led enter:", line, 1);
    // LED word: enter in bits 0-4, up/down in bits 5-8, left/right in bits 9-15.
    uint32_t word = ((static_cast<uint32_t>(left_right) & 0x7Fu) << 9) +
                    ((static_cast<uint32_t>(up_down) & 0x0Fu) << 5) +
                    (static_cast<uint32_t>(enter) & 0x1Fu);
    unsigned char bytes[4];
    put_u32le(bytes, word);
    if (!cmd_request_ok("Q8_cmd_set_leds", Q8_set_leds(id_conn, bytes, WAIT))) return -1;
    log_write("MAIN", "Device leds set.\n");
    return 0;
}

// Sent whatever `connected` says: without a link the request's own error is reported.
int Q8_cmd_power_off(char*, int) {
    if (!cmd_request_ok("Q8_cmd_power_off", Q8_power_off(id_conn, WAIT))) return -1;
    log_write("MAIN", "Sent 'Power off' command.\n");
    return 0;
}

int Q8_cmd_assay(char*, int) {
    return run_procedure(ASSAY);
}
int Q8_cmd_cs_stab(char*, int) {
    return run_procedure(CS_STAB);
}

int Q8_cmd_set_gps_power_status(char* line, int) {
    if (!cmd_connected()) return -1;
    int32_t value = 0;
    if (!cmd_request_ok("Q8_cmd_set_gps_power_status", Q8_get_gps_power(id_conn, &value, WAIT)))
        return -1;
    input_integer_msg_cmd(&value, 0, 1, "gps power status:", line, 1);
    if (!cmd_request_ok("Q8_cmd_set_gps_power_status", Q8_set_gps_power(id_conn, value, WAIT)))
        return -1;
    return 0;
}

int Q8_cmd_reacquire_bg(char*, int) {
    if (!cmd_connected()) return -1;
    if (!cmd_request_ok("Q8_cmd_reacquire_bg", Q8_reacquire_background(id_conn, WAIT))) return -1;
    log_write("MAIN", "Command 'Reacquire background' was sent.\n");
    return 0;
}

// ---- status and parameter records --------------------------------------------------------------

int Q8_cmd_get_status(char*, int) {
    return show_record<Q8_STATUS_SIZE>("Q8_cmd_get_status", Q8_get_status, STATUS_LINES);
}

// The instrument has no request that writes its status: the edited copy is dropped.
int Q8_cmd_set_status(char* line, int) {
    if (!cmd_connected()) return -1;
    unsigned char status[Q8_STATUS_SIZE] = {};
    if (!cmd_request_ok("Q8_cmd_set_status", Q8_get_status(id_conn, status, WAIT))) return -1;
    log_write("MAIN", "Set device status\n");
    ask_record(status, STATUS_QUESTIONS, line);
    log_write("MAIN", "\n");
    return 0;
}

int Q8_cmd_get_params(char*, int) {
    return show_record<Q8_PARAMS_SIZE>("Q8_cmd_get_params", Q8_get_params, PARAM_LINES);
}

// Writes back only a record the instrument filled completely: a shorter reply (or one too long
// to be copied) would send zeros in place of the instrument's own settings.
int Q8_cmd_set_params(char* line, int) {
    if (!cmd_connected()) return -1;
    unsigned char params[Q8_PARAMS_SIZE] = {};
    int length = 0;
    if (!cmd_request_ok("Q8_cmd_set_params", Q8_get_params_len(id_conn, params, &length, WAIT)))
        return -1;
    if (length != Q8_PARAMS_SIZE) {
        log_error("Command %s error: incomplete parameter record (%d of %d bytes)!\n",
                  "Q8_cmd_set_params", length, Q8_PARAMS_SIZE);
        return -1;
    }
    log_write("MAIN", "Params public\n");
    ask_record(params, PARAM_QUESTIONS, line);
    if (!cmd_request_ok("Q8_cmd_set_params", Q8_set_params(id_conn, params, WAIT))) return -1;
    return 0;
}

// ---- menu --------------------------------------------------------------------------------------

int Q8_cmd_create_menu(menu* m, int) {
    for (const MenuRow& row : MENU_ROWS) menu_add(m, row.code, row.name, row.help, row.handler);
    return 0;
}

// ---- firmware: the instrument's forms of the container, upload and flash commands ------------

int Q8_create_xfw(const char* raw_path, const char* xfw_path, int major, int minor, int scramble) {
    return Q5_create_xfw(raw_path, xfw_path, major, minor, scramble, Q8_MODEL, -1, Q8_DEV_TYPE);
}

int Q8_cmd_create_xfw(char* line) {
    return Q5_cmd_create_xfw(line, "nv52fw.tar", "nv52fw.xfw", Q8_MODEL, -1, Q8_DEV_TYPE);
}

int Q8_cmd_upload_xfw(char* line, int) {
    return Q5_cmd_upload_xfw(line, "nv52fw.xfw", Q8_DEV_TYPE, -1);
}

int Q8_cmd_flash_fw(char* line, int) {
    return Q5_cmd_flash_fw(line, "nv52fw.xfw");
}

// ---- asynchronous events (I/O thread) ----------------------------------------------------------

int Q8_cmd_hook_events(int handle) {
    struct Hook {
        int code;
        QXX_event_handler handler;
    };
    static constexpr std::array<Hook, 7> HOOKS{{
        {10003, Q8_event_keyboard_data},
        {10002, Q8_event_spectrum_data},
        {10005, Q8_event_total_data},
        {10007, Q8_event_status_data},
        {10010, Q8_event_light_sensor_data},
        {10012, Q8_event_progress_indication_data},
        {10015, Q8_event_cs_stab_data},
    }};
    int result = 0;
    for (const Hook& h : HOOKS) result = QXX_hook_async_event(handle, h.code, h.handler);
    return result;
}

int Q8_event_spectrum_data(int, void*, const unsigned char* frame, int) {
    q8_spectrum sp;
    const int got = Q8_read_spectrum(frame, &sp);
    if (got == Q8_SPECTRUM_NONE) return 0;
    log_write("MAIN", "spectrum(%d) %d received.\n", sp.count, sp.number);
    // Failures are silent: the announcement has already been printed.
    if (got == Q8_SPECTRUM_FULL)
        Q8_save_spectrum(SPECTRUM_FILE, sp.channels, Q8_SPECTRUM_CHANNELS, sp.first, sp.second,
                         SPECT_EVENT_CLOSING);
    return 0;
}

int Q8_event_keyboard_data(int, void*, const unsigned char* frame, int) {
    const unsigned char* data = event_data(frame, 8);
    if (data == nullptr) return 0;
    log_write("EVENTS", "Keyboard event: Key=%d\n", get_i32le(data + 4));
    return 0;
}

int Q8_event_total_data(int, void*, const unsigned char*, int) {
    log_write("EVENTS", "Total event\n");
    return 0;
}

int Q8_event_status_data(int, void*, const unsigned char*, int) {
    log_write("EVENTS", "Status event\n");
    return 0;
}

int Q8_event_light_sensor_data(int, void*, const unsigned char*, int) {
    log_write("EVENTS", "Light sensor monochromatic event\n");
    return 0;
}

int Q8_event_progress_indication_data(int, void*, const unsigned char* frame, int) {
    const unsigned char* data = event_data(frame, 12);
    if (data == nullptr) return 0;
    int32_t percent = get_i32le(data + 4);
    int32_t state = get_i32le(data + 8);
    if (state == 0) log_write("MAIN", "%d%%\n", percent);
    if (state == 1) log_write("MAIN", "Done.\n");
    return 0;
}

// The stabilisation result is the i32 at data offset 4.
int Q8_event_cs_stab_data(int, void*, const unsigned char* frame, int) {
    const unsigned char* data = event_data(frame, 8);
    if (data == nullptr) return 0;
    log_write("MAIN", "CS stab event. Result:%d\n", get_i32le(data + 4));
    return 0;
}

// ---- spectrum text -----------------------------------------------------------------------------

int SaveSpec(const char* path, const int32_t* values, int count, int32_t first, int32_t second,
             float scale, char* text) {
    const std::string closing = spect_saved_closing(scale);
    if (values == nullptr) count = 0;
    if (text == nullptr) {
        Q8_save_spectrum(path, values, count, first, second, closing);
        return 0;
    }
    const std::string built = spect_text(values, count, first, second, closing);
    std::memcpy(text, built.c_str(), built.size() + 1);
    return 0;
}
