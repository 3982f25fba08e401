#include "sim_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "qxx_frame.h"
#include "sim_sys.h"

namespace {

constexpr int SIZE_FLASH_WRITE = -1;  // block number (2 bytes) and any number of data bytes

// ---- wall clock -------------------------------------------------------------------------------

int64_t host_now_s() {
    return static_cast<int64_t>(std::time(nullptr));
}

int days_in_month(int year, int month) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The time record: year, month, day, hour, minute, second as six i32, the instrument's local
// time.
int get_time(sim_model* m, const unsigned char*, int, sim_answer* a) {
    time_t t = static_cast<time_t>(host_now_s() + m->clock_offset_s);
    struct tm tm {};
    sim_local_time(&t, &tm);
    const int32_t fields[6] = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                               tm.tm_hour,        tm.tm_min,     tm.tm_sec};
    for (int i = 0; i < 6; ++i) put_i32le(a->reply.payload.data() + 4 * i, fields[i]);
    return SIM_STATUS_OK;
}

int set_time(sim_model* m, const unsigned char* req, int, sim_answer*) {
    int32_t f[6];
    for (int i = 0; i < 6; ++i) f[i] = get_i32le(req + 4 * i);
    if (f[0] < 1970 || f[0] > 2199 || f[1] < 1 || f[1] > 12 || f[2] < 1 ||
        f[2] > days_in_month(f[0], f[1]) || f[3] < 0 || f[3] > 23 || f[4] < 0 || f[4] > 59 ||
        f[5] < 0 || f[5] > 59)
        return SIM_STATUS_BAD_VALUE;
    struct tm tm {};
    tm.tm_year = f[0] - 1900;
    tm.tm_mon = f[1] - 1;
    tm.tm_mday = f[2];
    tm.tm_hour = f[3];
    tm.tm_min = f[4];
    tm.tm_sec = f[5];
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1)) return SIM_STATUS_BAD_VALUE;
    m->clock_offset_s = static_cast<int64_t>(t) - host_now_s();
    return SIM_STATUS_OK;
}

// ---- identity and records ---------------------------------------------------------------------

int get_serial(sim_model* m, const unsigned char*, int, sim_answer* a) {
    std::memcpy(a->reply.payload.data(), m->serial, SIM_SERIAL_LEN);
    // The console recognises the instrument by the 'C' that starts the serial.
    if (m->refuse_identify) a->reply.payload[0] = 'B';
    return SIM_STATUS_OK;
}

int set_serial(sim_model* m, const unsigned char* req, int, sim_answer*) {
    std::memcpy(m->serial, req, SIM_SERIAL_LEN);
    return SIM_STATUS_OK;
}

int get_versions(sim_model* m, const unsigned char*, int, sim_answer* a) {
    std::memcpy(a->reply.payload.data(), m->versions, SIM_VERSIONS_SIZE);
    return SIM_STATUS_OK;
}

int get_status(sim_model* m, const unsigned char*, int, sim_answer* a) {
    sim_build_status(m, a->reply.payload.data());
    return SIM_STATUS_OK;
}

int get_params(sim_model* m, const unsigned char*, int, sim_answer* a) {
    std::memcpy(a->reply.payload.data(), m->params, SIM_PARAMS_SIZE);
    return SIM_STATUS_OK;
}

int set_params(sim_model* m, const unsigned char* req, int, sim_answer*) {
    std::memcpy(m->params, req, SIM_PARAMS_SIZE);
    return SIM_STATUS_OK;
}

int save_default_params(sim_model* m, const unsigned char*, int, sim_answer*) {
    std::memcpy(m->default_params, m->params, SIM_PARAMS_SIZE);
    return SIM_STATUS_OK;
}

int load_default_params(sim_model* m, const unsigned char*, int, sim_answer*) {
    std::memcpy(m->params, m->default_params, SIM_PARAMS_SIZE);
    return SIM_STATUS_OK;
}

// A 32-bit value that a set request keeps and its get request returns.
template <uint32_t sim_model::*Field>
int set_word(sim_model* m, const unsigned char* req, int, sim_answer*) {
    m->*Field = get_u32le(req);
    return SIM_STATUS_OK;
}
template <uint32_t sim_model::*Field>
int get_word(sim_model* m, const unsigned char*, int, sim_answer* a) {
    put_u32le(a->reply.payload.data(), m->*Field);
    return SIM_STATUS_OK;
}

int reboot(sim_model* m, const unsigned char*, int, sim_answer* a) {
    a->close_link = true;
    sim_model_reboot(m);
    return SIM_STATUS_OK;
}

// ---- external flash ---------------------------------------------------------------------------

int erase_flash(sim_model* m, const unsigned char*, int, sim_answer* a) {
    // Room for a whole flash at once: written blocks then never move the image (untouched
    // pages cost no memory). The pages of an earlier upload are kept, so the next one does not
    // fault them in again.
    m->flash.clear();
    m->flash.reserve(static_cast<size_t>(SIM_FLASH_CAPACITY));
    a->delay_ms = m->erase_ms;
    a->reply.param = std::min(m->erase_ms, 65535);  // the erase reports how long it took
    return SIM_STATUS_OK;
}

int write_flash(sim_model* m, const unsigned char* req, int size, sim_answer* a) {
    a->delay_ms = m->block_ms;
    size_t offset = static_cast<size_t>(get_u16le(req)) * SIM_FLASH_BLOCK;
    size_t len = static_cast<size_t>(size - 2);
    if (offset + len > static_cast<size_t>(SIM_FLASH_CAPACITY)) return SIM_STATUS_BAD_VALUE;
    if (offset == m->flash.size()) {  // the usual case: the next block, copied once
        m->flash.insert(m->flash.end(), req + 2, req + 2 + len);
        return SIM_STATUS_OK;
    }
    if (offset + len > m->flash.size()) m->flash.resize(offset + len, 0xFF);
    if (len > 0) std::memcpy(m->flash.data() + offset, req + 2, len);
    return SIM_STATUS_OK;
}

int read_flash(sim_model* m, const unsigned char* req, int, sim_answer* a) {
    size_t offset = static_cast<size_t>(get_u16le(req)) * SIM_FLASH_BLOCK;
    if (offset + SIM_FLASH_READ > static_cast<size_t>(SIM_FLASH_CAPACITY))
        return SIM_STATUS_BAD_VALUE;
    for (size_t i = 0; i < SIM_FLASH_READ; ++i)
        a->reply.payload[i] = offset + i < m->flash.size() ? m->flash[offset + i] : 0xFF;
    return SIM_STATUS_OK;
}

int flash_firmware(sim_model* m, const unsigned char* req, int, sim_answer* a) {
    uint32_t scrambled = get_u32le(req);
    uint32_t checksum = get_u32le(req + 4);
    if (scrambled > 1) return SIM_STATUS_BAD_VALUE;
    if (m->flash.empty()) return SIM_STATUS_NOTHING;
    if (sim_flash_checksum(m, scrambled == 1) != checksum) return SIM_STATUS_CHECKSUM;
    // The new firmware is programmed and the instrument restarts with it: with its version,
    // when the image tells one.
    char version[SIM_VERSION_TEXT];
    if (!m->keep_version && sim_flash_version(m, scrambled == 1, version))
        std::memcpy(m->versions, version, SIM_VERSION_TEXT);
    a->delay_ms = m->flash_ms;
    a->close_link = true;
    a->flashed = true;
    sim_model_reboot(m);
    return SIM_STATUS_OK;
}

// ---- accumulation procedures and events -------------------------------------------------------

sim_frame progress_event(sim_activity act, int percent, int state) {
    sim_frame f;
    f.code = SIM_EV_PROGRESS;
    f.payload.assign(12, 0);
    put_i32le(f.payload.data(), act == sim_activity::cs_stab ? 2 : 1);
    put_i32le(f.payload.data() + 4, percent);
    put_i32le(f.payload.data() + 8, state);
    return f;
}

sim_frame keyboard_event(int32_t key) {
    sim_frame f;
    f.code = SIM_EV_KEYBOARD;
    f.payload.assign(8, 0);
    put_i32le(f.payload.data(), 1);  // pressed
    put_i32le(f.payload.data() + 4, key);
    return f;
}

void start_activity(sim_model* m, sim_activity act) {
    m->activity = act;
    m->ticks = 0;
    m->noise_rng.seed(m->noise_seed);
    m->counts.assign(SIM_CHANNELS, 0);
}

// Ends the running accumulation: the last progress says done, a stabilisation reports its
// result (0 stabilised, -1 stopped before any spectrum was measured).
void stop_activity(sim_model* m, sim_answer* a) {
    sim_activity act = m->activity;
    a->events.push_back(progress_event(act, 100, 1));
    if (act == sim_activity::cs_stab) {
        m->stab_result = m->ticks > 0 ? 0 : -1;
        sim_frame f;
        f.code = SIM_EV_CS_RESULT;
        f.payload.assign(8, 0);
        put_i32le(f.payload.data() + 4, m->stab_result);
        a->events.push_back(f);
    }
    m->activity = sim_activity::none;
    m->ticks = 0;
}

int assay_toggle(sim_model* m, const unsigned char*, int, sim_answer* a) {
    if (m->activity == sim_activity::cs_stab) return SIM_STATUS_BUSY;
    if (m->activity == sim_activity::assay)
        stop_activity(m, a);
    else
        start_activity(m, sim_activity::assay);
    return SIM_STATUS_OK;
}

int cs_start(sim_model* m, const unsigned char*, int, sim_answer*) {
    if (m->activity == sim_activity::assay) return SIM_STATUS_BUSY;
    if (m->activity == sim_activity::none) start_activity(m, sim_activity::cs_stab);
    return SIM_STATUS_OK;
}

int cs_stop(sim_model* m, const unsigned char*, int, sim_answer* a) {
    if (m->activity == sim_activity::assay) return SIM_STATUS_BUSY;
    if (m->activity == sim_activity::cs_stab) stop_activity(m, a);
    return SIM_STATUS_OK;
}

int emulate_key(sim_model*, const unsigned char* req, int, sim_answer* a) {
    a->events.push_back(keyboard_event(get_i32le(req)));
    return SIM_STATUS_OK;
}

// ---- the request table ------------------------------------------------------------------------

typedef int (*request_proc)(sim_model* m, const unsigned char* req, int size, sim_answer* a);

struct request_def {
    uint16_t code;
    int request_size;  // exact, or SIZE_FLASH_WRITE
    int reply_size;
    const char* name;
    request_proc proc;  // null: accepted, reply of zero bytes
};

// Both command sets. Where they share a code the instrument's own sizes hold, except the serial:
// the console reads it with the 8-byte board request.
constexpr request_def REQUESTS[] = {
    {8001, 0, SIM_VERSIONS_SIZE, "get versions", get_versions},
    {8002, 0, SIM_TIME_SIZE, "get time", get_time},
    {8003, SIM_TIME_SIZE, 0, "set time", set_time},
    {8007, 0, SIM_SERIAL_LEN, "get serial", get_serial},
    {8008, 0, 4, "get model revision", get_word<&sim_model::model_rev>},
    {8011, 8, 0, "set gui serial", nullptr},
    {8012, 0, SIM_TIME_SIZE, "get date", get_time},
    {8013, SIM_TIME_SIZE, 0, "set date", set_time},
    {8015, 0, 4, "get event filter", get_word<&sim_model::event_filter>},
    {8016, 4, 0, "set event filter", set_word<&sim_model::event_filter>},
    {8017, 0, 4, "get inhibition", get_word<&sim_model::inhibition>},
    {8018, 4, 0, "set inhibition", set_word<&sim_model::inhibition>},
    {8021, 0, 0, "restart", reboot},
    {8031, 4, 0, "setup display", nullptr},
    {8041, 4, 0, "emulate key", emulate_key},
    {8100, 0, 0, "erase external flash", erase_flash},
    {8101, 2, SIM_FLASH_READ, "read external flash", read_flash},
    {8102, SIZE_FLASH_WRITE, 0, "write external flash", write_flash},
    {8103, 8, 0, "flash firmware", flash_firmware},
    {8104, SIM_SERIAL_LEN, 0, "set serial", set_serial},
    {8105, 4, 0, "set model revision", set_word<&sim_model::model_rev>},
    {8201, 0, SIM_PARAMS_SIZE, "get params", get_params},
    {8202, SIM_PARAMS_SIZE, 0, "set params", set_params},
    {8203, 0, SIM_STATUS_SIZE, "get status", get_status},
    {8204, 0, 4, "get gps power", get_word<&sim_model::gps_power>},
    {8205, 4, 0, "set gps power", set_word<&sim_model::gps_power>},
    {8210, 0, 0, "reacquire background", nullptr},
    {8215, 4, 0, "confirm alarms", nullptr},
    {8220, 0, 0, "set default params", save_default_params},
    {8221, 0, 0, "load default params", load_default_params},
    {8301, 4, 0, "set leds", set_word<&sim_model::leds>},
    {8302, 0, 4, "get leds", get_word<&sim_model::leds>},
    {8304, 0, 0, "start cs stabilisation", cs_start},
    {8305, 0, 0, "stop cs stabilisation", cs_stop},
    {8306, 0, 0, "clear accumulated spectrum", nullptr},
    {8307, 6, 0, "start accumulated spectrum", nullptr},
    {8308, 0, 0, "stop accumulated spectrum", nullptr},
    {8309, 0, 0, "start/stop assay", assay_toggle},
    {8311, 4, 0, "record survey", set_word<&sim_model::record_survey>},
    {8312, 12, 0, "delete record", nullptr},
    {8313, 0, 0, "store measurement", nullptr},
    {8315, 8, 0, "assign note", nullptr},
    {8319, 0, 92, "get memory usage", nullptr},
    {8320, 280, 0, "save calibration log", nullptr},
    {8321, 4, 10, "check calibration date", nullptr},
    {8326, 0, 0, "get identify results", nullptr},
    {8330, 0, 4, "start audio recording", nullptr},
    {8331, 0, 0, "stop audio recording", nullptr},
    {8332, 4, 0, "play audio", nullptr},
    {8333, 0, 0, "stop audio", nullptr},
    {8334, 4, 4, "prepare note database", nullptr},
    {8345, 0, 324, "get calibration method names", nullptr},
    {8346, 16, 912, "get calibration methods", nullptr},
    {8350, 18, 0, "save calibration spectrum", nullptr},
    {8400, 0, 0, "power off", reboot},
    {8401, 0, 0, "welcome", nullptr},
    {8410, 4, 8, "transfer buffer info", nullptr},
    {8411, 68, 68, "transfer buffer prepare", nullptr},
    {8412, 12, 8178, "transfer buffer get", nullptr},
    {8420, 8, 0, "set adc parameter", nullptr},
    {8421, 0, 44, "get motion sensor data", nullptr},
    {8424, 0, 1071, "get usb gadget list", nullptr},
    {8425, 0, 6074, "get wifi ipv4 list", nullptr},
    {8426, 0, 7914, "get wifi ipv6 list", nullptr},
    {8427, 257, 0, "connect wifi", nullptr},
    {8428, 4, 0, "set wifi", nullptr},
    {8429, 255, 0, "set passphrase", nullptr},
    {8435, 140, 0, "set ipv4", nullptr},
    {8436, 232, 0, "set ipv6", nullptr},
};

const request_def* find_request(int code) {
    for (const auto& r : REQUESTS)
        if (r.code == code) return &r;
    return nullptr;
}

// ---- records ----------------------------------------------------------------------------------

void put_text(unsigned char* field, int width, const char* text) {
    std::memset(field, 0, width);
    std::memcpy(field, text, std::min<size_t>(std::strlen(text), width));
}

void fill_versions(unsigned char* v) {
    static constexpr const char* texts[6] = {"NV52-2.14.0", "fs-1.8.2",  "gui-3.2.1",
                                             "tv-1.0.7",    "gpp-0.9.3", "5.10.120-nv52"};
    std::memset(v, 0, SIM_VERSIONS_SIZE);
    for (int i = 0; i < 6; ++i) put_text(v + 32 * i, 32, texts[i]);
}

enum class ftype { u16, i32, f32 };
struct field_value {
    int offset;
    ftype type;
    double value;
};

// A sensible instrument set-up: alarms on, thresholds rising by level.
constexpr field_value DEFAULT_PARAMS[] = {
    {0, ftype::u16, 60},    {2, ftype::u16, 0},     {4, ftype::u16, 0},     {134, ftype::u16, 1},
    {138, ftype::u16, 1},   {268, ftype::i32, 20},  {272, ftype::u16, 30},  {274, ftype::u16, 1},
    {404, ftype::u16, 1},   {406, ftype::i32, 3},   {414, ftype::i32, 5},   {418, ftype::i32, 7},
    {422, ftype::i32, 9},   {542, ftype::u16, 1},   {544, ftype::f32, 100}, {548, ftype::i32, 2},
    {552, ftype::u16, 1},   {554, ftype::f32, 2.5}, {562, ftype::i32, 1},   {566, ftype::f32, 200},
    {570, ftype::f32, 500}, {574, ftype::f32, 900}, {578, ftype::f32, 5},   {582, ftype::f32, 10},
    {586, ftype::f32, 50},  {694, ftype::u16, 1},   {832, ftype::u16, 1},   {834, ftype::u16, 0},
    {836, ftype::u16, 1},
};

void put_field(unsigned char* rec, const field_value& f) {
    switch (f.type) {
        case ftype::u16:
            put_u16le(rec + f.offset, static_cast<uint16_t>(f.value));
            break;
        case ftype::i32:
            put_i32le(rec + f.offset, static_cast<int32_t>(f.value));
            break;
        case ftype::f32:
            put_f32le(rec + f.offset, static_cast<float>(f.value));
            break;
    }
}

// Counts of channel `ch` after `ticks` ticks: a falling continuum, the 32 keV X-ray line and
// the 662 keV line of Cs-137 at channel 331 (2 keV per channel); an assay adds lines at 609 keV
// and 1461 keV.
double channel_rate(sim_activity act, int ch) {
    auto line = [ch](double centre, double sigma, double height) {
        double d = (ch - centre) / sigma;
        return height * std::exp(-0.5 * d * d);
    };
    double per_tick = 40.0 * std::exp(-ch / 180.0) + 2.0 + line(16, 3, 30) + line(331, 11, 250);
    if (act == sim_activity::assay) per_tick += line(304, 10, 60) + line(730, 18, 35);
    return per_tick;
}

int32_t channel_counts(const sim_model* m, int ch) {
    if (m->noise) return m->counts[ch];
    return static_cast<int32_t>(std::lround(channel_rate(m->activity, ch) * m->ticks));
}

sim_frame spectrum_event(const sim_model* m, int event_ms) {
    sim_frame f;
    f.code = SIM_EV_SPECTRUM;
    f.payload.assign(SIM_SPECTRUM_SIZE, 0);
    unsigned char* d = f.payload.data();
    int real_s = static_cast<int>(static_cast<int64_t>(m->ticks) * event_ms / 1000);
    put_i32le(d + 2, SIM_CHANNELS);
    put_u16le(d + 8, static_cast<uint16_t>(m->ticks));  // spectrum number in this run
    put_i32le(d + 112, real_s * 97 / 100);              // live time, s
    put_i32le(d + 116, real_s);                         // real time, s
    for (int i = 0; i < SIM_CHANNELS; ++i) put_i32le(d + 230 + 4 * i, channel_counts(m, i));
    return f;
}

}  // namespace

void sim_model_init(sim_model* m, const std::string& serial, int usb_mode, int erase_ms,
                    bool refuse_identify) {
    std::memset(m->serial, 0, SIM_SERIAL_LEN);
    std::memcpy(m->serial, serial.data(), std::min<size_t>(serial.size(), SIM_SERIAL_LEN));
    m->refuse_identify = refuse_identify;
    m->erase_ms = erase_ms;
    fill_versions(m->versions);
    std::memset(m->params, 0, SIM_PARAMS_SIZE);
    for (const auto& f : DEFAULT_PARAMS) put_field(m->params, f);
    put_u16le(m->params + SIM_PARAM_USB_MODE, static_cast<uint16_t>(usb_mode));
    std::memcpy(m->default_params, m->params, SIM_PARAMS_SIZE);
    m->clock_offset_s = 0;
    m->start_s = host_now_s();
    m->leds = 0;
    m->gps_power = 1;
    m->event_filter = 0xFFFFFFFFu;
    m->inhibition = 0;
    m->model_rev = 0x00520001;
    m->record_survey = 0;
    m->flash.clear();
    m->activity = sim_activity::none;
    m->ticks = 0;
    m->stab_result = 0;
    m->periodic_count = 0;
}

void sim_model_set_noise(sim_model* m, uint32_t seed) {
    m->noise = true;
    m->noise_seed = seed;
    m->noise_rng.seed(seed);
}

void sim_model_request(sim_model* m, int code, const unsigned char* data, int size,
                       sim_answer* out) {
    *out = sim_answer{};
    const request_def* def = find_request(code);
    if (def == nullptr) {
        out->reply.code = QXX_CODE_ERROR;
        out->reply.status = SIM_STATUS_REFUSED;
        out->reply.param = code;  // tells the reader which request was not understood
        return;
    }
    out->known = true;
    out->reply.code = code + QXX_REPLY_OFFSET;
    bool size_ok = def->request_size == SIZE_FLASH_WRITE ? size >= 2 : size == def->request_size;
    if (!size_ok) {
        out->reply.status = SIM_STATUS_BAD_SIZE;
        return;
    }
    out->reply.payload.assign(def->reply_size, 0);
    if (def->proc != nullptr) out->reply.status = def->proc(m, data, size, out);
    if (out->reply.status != SIM_STATUS_OK) {
        out->reply.payload.clear();
        out->events.clear();
        out->close_link = false;
        out->flashed = false;
    }
}

void sim_model_tick(sim_model* m, bool periodic, int event_ms, std::vector<sim_frame>* out) {
    if (m->activity != sim_activity::none) {
        m->ticks++;
        if (m->noise) {
            m->counts.resize(SIM_CHANNELS, 0);
            for (int i = 0; i < SIM_CHANNELS; ++i)
                m->counts[i] +=
                    std::poisson_distribution<int32_t>(channel_rate(m->activity, i))(m->noise_rng);
        }
        out->push_back(
            progress_event(m->activity, std::min(99, m->ticks * 100 / SIM_RUN_TICKS), 0));
        out->push_back(spectrum_event(m, event_ms));
    }
    if (!periodic) return;
    m->periodic_count++;
    out->push_back(keyboard_event(1 + m->periodic_count % 5));
    sim_frame status;
    status.code = SIM_EV_STATUS;
    status.payload.assign(SIM_STATUS_SIZE, 0);
    sim_build_status(m, status.payload.data());
    out->push_back(status);
    sim_frame total;  // dose rate (uSv/h), dose (uSv), counts per second
    total.code = SIM_EV_TOTAL;
    total.payload.assign(16, 0);
    put_f32le(total.payload.data(), 0.11f);
    put_f32le(total.payload.data() + 4, 0.0003f * static_cast<float>(m->periodic_count));
    put_i32le(total.payload.data() + 8, 35);
    out->push_back(total);
    sim_frame light;  // status, intensity, monochromatic flag as in the status record
    light.code = SIM_EV_LIGHT;
    light.payload.assign(12, 0);
    put_i32le(light.payload.data(), 1);
    put_i32le(light.payload.data() + 4, 42);
    out->push_back(light);
}

void sim_model_reboot(sim_model* m) {
    m->activity = sim_activity::none;
    m->ticks = 0;
}

void sim_model_hostile_texts(sim_model* m) {
    static constexpr char serial[SIM_SERIAL_LEN + 1] = "C\x1b[2J\x07\x9b\xff";
    static constexpr const char* texts[6] = {"2.14\x1b]0;owned\x07",
                                             "fs\r\n1.8",
                                             "\xc2\x9b"
                                             "31m",
                                             "tv\xff\xfe",
                                             "\x1b[8mgpp",
                                             "\x7f\x01k"};
    std::memcpy(m->serial, serial, SIM_SERIAL_LEN);
    for (int i = 0; i < 6; ++i) put_text(m->versions + 32 * i, 32, texts[i]);
}

const char* sim_request_name(int code) {
    const request_def* d = find_request(code);
    return d ? d->name : nullptr;
}

int sim_request_size(int code) {
    const request_def* d = find_request(code);
    return d ? d->request_size : -1;
}

int sim_reply_size(int code) {
    const request_def* d = find_request(code);
    return d ? d->reply_size : -1;
}

bool sim_flash_version(const sim_model* m, bool descramble, char* out) {
    if (m->flash.size() < static_cast<size_t>(SIM_VERSION_TEXT)) return false;
    unsigned char text[SIM_VERSION_TEXT];
    for (int i = 0; i < SIM_VERSION_TEXT / 4; ++i) {
        uint32_t w = get_u32le(m->flash.data() + 4 * i);
        if (descramble) {
            const uint32_t n = static_cast<uint32_t>(i);
            w ^= n * n * n * n;
        }
        put_u32le(text + 4 * i, w);
    }
    const size_t prefix = std::strlen(SIM_VERSION_PREFIX);
    const size_t len = strnlen(reinterpret_cast<const char*>(text), SIM_VERSION_TEXT);
    if (len == SIM_VERSION_TEXT || len <= prefix ||
        std::memcmp(text, SIM_VERSION_PREFIX, prefix) != 0)
        return false;
    for (size_t i = 0; i < len; ++i)
        if (text[i] <= ' ' || text[i] >= 0x7F) return false;
    std::memset(out, 0, SIM_VERSION_TEXT);
    std::memcpy(out, text, len);
    return true;
}

uint32_t sim_flash_checksum(const sim_model* m, bool descramble) {
    size_t words = (m->flash.size() + 3) / 4;
    uint32_t sum = 0;
    for (size_t i = 0; i < words; ++i) {
        unsigned char b[4];
        for (size_t k = 0; k < 4; ++k) {
            size_t at = 4 * i + k;
            b[k] = at < m->flash.size() ? m->flash[at] : 0xFF;  // erased flash reads 0xFF
        }
        uint32_t w = get_u32le(b);
        if (descramble) {
            uint32_t n = static_cast<uint32_t>(i);
            w ^= n * n * n * n;
        }
        sum ^= w;
    }
    return sum;
}

void sim_build_status(const sim_model* m, unsigned char* out) {
    std::memset(out, 0, SIM_STATUS_SIZE);
    int64_t now = host_now_s();
    double hours = static_cast<double>(now - m->start_s) / 3600.0;
    double gauge = std::max(5.0, 87.5 - 2.5 * hours);
    bool gps = m->gps_power != 0;

    put_u16le(out + 0, 0x0001);  // system running
    put_u16le(out + 4, 1);       // GPP
    put_u16le(out + 6, 0);       // USB
    put_u16le(out + 8, 0);       // Bluetooth
    put_u16le(out + 10, 1);      // Wi-Fi
    put_i32le(out + 48, static_cast<int32_t>(m->record_survey));
    put_i32le(out + 52, 0);  // no alarm
    put_i32le(out + 56, m->stab_result == 0 ? 1 : 0);
    put_u32le(out + 98, 0x1);  // charger talks, not charging, no adapter
    put_f32le(out + 102, static_cast<float>(3400.0 + 8.0 * gauge));
    put_f32le(out + 106, static_cast<float>(gauge));
    put_f32le(out + 110, -2.5f);
    put_i32le(out + 174, gps ? 1 : 0);
    put_i32le(out + 178, gps ? 2 : 0);
    if (gps) {
        time_t t = static_cast<time_t>(now + m->clock_offset_s);
        struct tm utc {};
        sim_utc_time(&t, &utc);
        put_f32le(out + 182, 47.37690f);
        put_f32le(out + 186, 8.54170f);
        put_f32le(out + 190, 408.25f);
        put_i32le(out + 194, 7);
        put_i32le(out + 198, utc.tm_hour);
        put_i32le(out + 202, utc.tm_min);
        put_i32le(out + 206, utc.tm_sec);
    }
    put_i32le(out + 238, 1);
    put_i32le(out + 242, 42);
    put_i32le(out + 246, 0);
}
