// The simulated NV-52: its records, clock, serial number, external flash and the accumulation
// procedures, and how it answers each request code. Nothing here touches a socket or a clock
// other than the wall clock: the server (sim_server) feeds it requests and event ticks and sends
// what it answers.
//
// Every request is answered with its code plus 1000. Status values of a refusal:
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

constexpr int SIM_STATUS_OK = 0;
constexpr int SIM_STATUS_REFUSED = 1;    // default of --fail-code, and the general error reply
constexpr int SIM_STATUS_BAD_SIZE = 2;   // request payload of the wrong size
constexpr int SIM_STATUS_CHECKSUM = 3;   // flash request whose checksum does not match
constexpr int SIM_STATUS_BAD_VALUE = 4;  // value out of range (time, block beyond the flash...)
constexpr int SIM_STATUS_NOTHING = 5;    // flash request with nothing written since the erase
constexpr int SIM_STATUS_BUSY = 6;       // the other accumulation procedure is running

constexpr int SIM_SERIAL_LEN = 8;
constexpr int SIM_VERSIONS_SIZE = 415;
constexpr int SIM_STATUS_SIZE = 346;
constexpr int SIM_PARAMS_SIZE = 1400;
constexpr int SIM_TIME_SIZE = 24;
constexpr int SIM_FLASH_BLOCK = 48000;  // block n of an upload lands at n * 48000
constexpr int SIM_FLASH_CAPACITY = 64 * 1024 * 1024;
constexpr int SIM_FLASH_READ = 64;  // bytes returned by a read of the external flash
constexpr int SIM_CHANNELS = 1024;
constexpr int SIM_SPECTRUM_SIZE = 230 + 4 * SIM_CHANNELS;  // 4326 data bytes
constexpr int SIM_RUN_TICKS = 20;                          // ticks until an accumulation shows 99 %

// Asynchronous event codes.
constexpr int SIM_EV_SPECTRUM = 10002;
constexpr int SIM_EV_KEYBOARD = 10003;
constexpr int SIM_EV_TOTAL = 10005;
constexpr int SIM_EV_STATUS = 10007;
constexpr int SIM_EV_LIGHT = 10010;
constexpr int SIM_EV_PROGRESS = 10012;
constexpr int SIM_EV_CS_RESULT = 10015;

// Offsets of the records' fields that the model fills or keeps.
constexpr int SIM_PARAM_USB_MODE = 136;

enum class sim_activity { none, assay, cs_stab };

// One frame to send: the server builds it with qxx_build_frame.
struct sim_frame {
    int code = 0;
    int param = 0;
    int status = 0;
    std::vector<unsigned char> payload;
};

// What one request brings about.
struct sim_answer {
    sim_frame reply;
    std::vector<sim_frame> events;  // sent right after the reply
    bool close_link = false;        // the instrument restarts or powers off after the reply
    bool flashed = false;           // ... and it restarts with new firmware
    int delay_ms = 0;               // time the instrument takes before it replies (erase)
    bool known = false;             // the code is in the command sets
};

struct sim_model {
    char serial[SIM_SERIAL_LEN];  // NUL-padded when shorter than 8 characters
    bool refuse_identify;
    int erase_ms;
    int block_ms = 0;           // a block write's time before its reply
    int flash_ms = 0;           // programming's time before the flash request's reply
    bool keep_version = false;  // a flash leaves the running version as it was
    unsigned char versions[SIM_VERSIONS_SIZE];
    unsigned char params[SIM_PARAMS_SIZE];
    unsigned char default_params[SIM_PARAMS_SIZE];
    int64_t clock_offset_s;  // the instrument's clock minus the host's, in seconds
    int64_t start_s;         // host time at power-on: the battery drains from here
    // Small values a set request keeps and the matching get request returns.
    uint32_t leds, gps_power, event_filter, inhibition, model_rev, record_survey;
    // External flash: bytes 0 .. size-1 were written since the last erase (gaps read 0xFF).
    std::vector<unsigned char> flash;
    sim_activity activity;
    int ticks;           // event ticks of the current accumulation
    int stab_result;     // result of the last caesium stabilisation (0 = stabilised)
    int periodic_count;  // periodic events sent, to vary the key codes
    // Counting noise (--noise-seed): each tick adds a Poisson draw per channel to `counts`, from
    // a generator seeded afresh when an accumulation starts. Without it the spectra are the
    // exact expected counts.
    bool noise = false;
    uint32_t noise_seed = 0;
    std::mt19937_64 noise_rng;
    std::vector<int32_t> counts;
};

// Powers the model on with its defaults. `serial` has 1 to 8 characters.
void sim_model_init(sim_model* m, const std::string& serial, int usb_mode, int erase_ms,
                    bool refuse_identify);
// Puts terminal escapes, BEL, CR, C1 controls and invalid UTF-8 into the versions record and
// into the serial number after its leading C (which the console still recognises).
void sim_model_hostile_texts(sim_model* m);

// Draws the spectra with Poisson counting noise from `seed`: the same seed, the same spectra.
void sim_model_set_noise(sim_model* m, uint32_t seed);

// Answers one request. `data`/`size` are the request's payload. Unknown codes give the general
// error reply (12290) and `known` false.
void sim_model_request(sim_model* m, int code, const unsigned char* data, int size,
                       sim_answer* out);

// One event tick (every --event-ms while a link is served): progress and spectrum events of a
// running accumulation, and with `periodic` a keyboard, status, total and light-sensor event.
void sim_model_tick(sim_model* m, bool periodic, int event_ms, std::vector<sim_frame>* out);

// The link the instrument served went away: a restart or power off also ends an accumulation.
void sim_model_reboot(sim_model* m);

// The request's name for the log ("get status"), or nullptr for an unknown code.
const char* sim_request_name(int code);
// Request payload size the instrument expects (-1 for the variable flash write), reply payload
// size, or -1 for an unknown code.
int sim_request_size(int code);
int sim_reply_size(int code);

// A firmware image begins with its version text, the overall version it reports once it runs
// ("NV52-2.15.0", NUL-terminated within SIM_VERSION_TEXT bytes, printable, starting with
// SIM_VERSION_PREFIX). Writes that text into `out` (SIM_VERSION_TEXT bytes, NUL-padded) and
// returns true, or false for an image without one. Reads the external flash as written,
// descrambled when `descramble` is set.
constexpr int SIM_VERSION_TEXT = 32;
constexpr const char* SIM_VERSION_PREFIX = "NV52-";
bool sim_flash_version(const sim_model* m, bool descramble, char* out);

// XOR of the 32-bit little-endian words of the flash's written extent rounded up to words,
// each word i XORed with i*i*i*i first when `descramble` is set.
uint32_t sim_flash_checksum(const sim_model* m, bool descramble);

// Fills the 346-byte status record as the instrument would report it now.
void sim_build_status(const sim_model* m, unsigned char* out);
