// The USB-mode switch: see q8_usb_mode.h.
#include "q8_usb_mode.h"

#include "q8_comm.h"
#include "qxx_frame.h"

namespace {

constexpr int NO_REPLY = 255;  // a transaction's result when no answer came in time

}  // namespace

q8_usb_mode_result Q8_switch_usb_mode(int handle) {
    q8_usb_mode_result r{Q8_USB_MODE_SWITCHED, 0, 0};
    unsigned char params[Q8_PARAMS_SIZE] = {};
    r.code = Q8_get_params_len(handle, params, &r.length, 1);
    if (r.code != 0) return r.step = Q8_USB_MODE_GET_FAILED, r;
    if (r.length != Q8_PARAMS_SIZE) return r.step = Q8_USB_MODE_INCOMPLETE, r;
    if (get_u16le(params + Q8_PAR_USB_MODE) != 0) return r.step = Q8_USB_MODE_ALREADY, r;
    put_u16le(params + Q8_PAR_USB_MODE, 1);
    r.code = Q8_set_params(handle, params, 1);
    if (r.code != 0) return r.step = Q8_USB_MODE_SET_FAILED, r;
    r.code = Q8_restart(handle, 1);
    // An instrument that restarts at once may never answer; the new mode is written all the same.
    if (r.code == NO_REPLY) return r.step = Q8_USB_MODE_UNCONFIRMED, r;
    if (r.code != 0) return r.step = Q8_USB_MODE_RESTART_FAILED, r;
    return r;
}
