// Reading and checking firmware containers, and sending their image to a device: see xfw.h.
#include "xfw.h"

#include <cstring>
#include <new>

#include "q5_comm.h"
#include "qxx_frame.h"
#include "sysfile.h"

namespace {

// The text of a header field up to its first NUL, terminated.
void field_text(const unsigned char* field, char* out) {
    size_t n = strnlen(reinterpret_cast<const char*>(field), XFW_FIELD_TEXT);
    std::memcpy(out, field, n);
    out[n] = '\0';
}

}  // namespace

void xfw_parse_header(const unsigned char* h, xfw_header* out) {
    field_text(h + XFW_OFF_MAGIC, out->magic);
    field_text(h + XFW_OFF_MODEL, out->model);
    out->size = get_u32le(h + XFW_OFF_SIZE);
    out->dev_type = get_u32le(h + XFW_OFF_DEV_TYPE);
    out->version = get_u32le(h + XFW_OFF_VERSION);
    out->raw_checksum = get_u32le(h + XFW_OFF_RAW_CHECKSUM);
    out->enc_checksum = get_u32le(h + XFW_OFF_ENC_CHECKSUM);
    out->date = get_u32le(h + XFW_OFF_DATE);
    out->time = get_u32le(h + XFW_OFF_TIME);
    out->flags = get_u32le(h + XFW_OFF_FLAGS);
}

bool xfw_is_container(const xfw_header& h) {
    return std::strcmp(h.magic, XFW_MAGIC) == 0;
}

xfw_sums xfw_checksums(const unsigned char* image, uint64_t size, bool scrambled) {
    xfw_sums sums{0, 0};
    const uint64_t words = size / 4;
    for (uint64_t i = 0; i < words; ++i) {
        uint32_t w = get_u32le(image + 4 * i);
        sums.stored ^= w;
        sums.raw ^= scrambled ? w ^ xfw_scramble_key(static_cast<uint32_t>(i)) : w;
    }
    return sums;
}

bool xfw_open(const char* path, xfw_file* out) {
    int fd = sys_open_read(path);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    sys_blocking(fd);
    FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return false;
    }
    out->f.reset(f);
    out->length = static_cast<uint64_t>(st.st_size);
    return true;
}

int xfw_read_header(xfw_file* file, xfw_header* out) {
    unsigned char bytes[XFW_HEADER_SIZE];
    if (file->length < XFW_HEADER_SIZE ||
        fread(bytes, 1, XFW_HEADER_SIZE, file->f.get()) != XFW_HEADER_SIZE)
        return XFW_SHORT;
    xfw_parse_header(bytes, out);
    return XFW_OK;
}

int xfw_read_image(xfw_file* file, int dev_type, int length_limit, xfw_image* out) {
    if (xfw_read_header(file, &out->header) != XFW_OK) return XFW_SHORT;
    const xfw_header& h = out->header;
    if (h.dev_type != static_cast<uint32_t>(dev_type)) return XFW_WRONG_TYPE;
    const uint64_t length =
        length_limit < 0 ? file->length - XFW_HEADER_SIZE : static_cast<uint64_t>(length_limit);
    if (length > XFW_MAX_DATA) {
        out->limit = XFW_MAX_DATA;
        return XFW_TOO_LONG;
    }
    if (h.size > length) {
        out->limit = length;
        return XFW_TOO_LONG;
    }
    out->data.reset(new (std::nothrow) unsigned char[length ? length : 1]);
    if (!out->data) return XFW_NO_MEMORY;
    out->length = length;
    std::memset(out->data.get(), 0xFF, length);
    if (fread(out->data.get(), 1, h.size, file->f.get()) != h.size) return XFW_SHORT;
    out->sums = xfw_checksums(out->data.get(), length, (h.flags & XFW_FLAG_SCRAMBLED) != 0);
    return XFW_OK;
}

int xfw_check_sums(const xfw_image& image) {
    if (image.header.raw_checksum != image.sums.raw) return XFW_RAW_SUM;
    if (image.header.enc_checksum != image.sums.stored) return XFW_ENC_SUM;
    return XFW_OK;
}

// ---- sending it ---------------------------------------------------------------------------------

int xfw_block_count(uint64_t length) {
    return static_cast<int>((length + XFW_BLOCK - 1) / XFW_BLOCK);
}

int xfw_upload(int handle, const unsigned char* data, uint64_t length, xfw_progress progress,
               void* user) {
    auto tell = [&](xfw_step step, int block, int blocks, bool done, int result) {
        if (progress) progress(user, step, block, blocks, done, result);
    };
    tell(xfw_step::erase, 0, 0, false, 0);
    int param = 0;
    int result = Q5_erase_ext_flash(handle, &param, 1);
    tell(xfw_step::erase, 0, 0, true, result);
    if (result != 0) return result;

    const int blocks = xfw_block_count(length);
    for (int n = 0; n < blocks; ++n) {
        const uint64_t at = uint64_t{XFW_BLOCK} * static_cast<uint64_t>(n);
        const int size = static_cast<int>(length - at < XFW_BLOCK ? length - at : XFW_BLOCK);
        tell(xfw_step::block, n, blocks, false, 0);
        for (int attempt = 0; attempt < XFW_BLOCK_ATTEMPTS; ++attempt) {
            result = Q5_write_ext_flash(handle, static_cast<uint16_t>(n), data + at, size, 1);
            if (result == 0) break;
        }
        tell(xfw_step::block, n, blocks, true, result);
        if (result != 0) return result;
    }
    return 0;
}

int xfw_flash(int handle, const xfw_header& header) {
    return Q5_flash_FW(handle, header.flags & XFW_FLAG_SCRAMBLED, header.raw_checksum, 1);
}
