// The spectrum event and its text file: see q8_spectrum.h.
#include "q8_spectrum.h"

#include "qxx_frame.h"
#include "safe_file.h"

namespace {

constexpr int OFF_COUNT = 2;
constexpr int OFF_VALUE = 8;
constexpr int OFF_SECOND = 112;
constexpr int OFF_FIRST = 116;
constexpr int OFF_CHANNELS = 230;
constexpr int HEADER_NEEDED = OFF_VALUE + 2;
constexpr int FULL_NEEDED = OFF_CHANNELS + 4 * Q8_SPECTRUM_CHANNELS;  // 4326

}  // namespace

int Q8_read_spectrum(const unsigned char* frame, q8_spectrum* out) {
    if (frame == nullptr || qxx_frame_payload_size(frame) < HEADER_NEEDED) return Q8_SPECTRUM_NONE;
    const unsigned char* data = frame + QXX_OFF_PAYLOAD;
    const bool whole = qxx_frame_payload_size(frame) >= FULL_NEEDED;
    out->count = get_i32le(data + OFF_COUNT);
    out->number = get_u16le(data + OFF_VALUE);
    // A full spectrum that lacks its channels is ignored whole, announcement included.
    if (out->count != Q8_SPECTRUM_CHANNELS) return Q8_SPECTRUM_ANNOUNCED;
    if (!whole) return Q8_SPECTRUM_NONE;
    out->first = get_i32le(data + OFF_FIRST);
    out->second = get_i32le(data + OFF_SECOND);
    for (int i = 0; i < Q8_SPECTRUM_CHANNELS; ++i)
        out->channels[i] = get_i32le(data + OFF_CHANNELS + 4 * i);
    return Q8_SPECTRUM_FULL;
}

bool Q8_save_spectrum(const char* path, const int32_t* values, int count, int32_t first,
                      int32_t second, std::string_view closing) {
    const std::string text = spect_text(values, count, first, second, closing);
    SafeFile f;
    f.fall_back_in_place();
    return f.open(path, SafeFile::Text) && f.write(text.data(), text.size()) && f.commit();
}
