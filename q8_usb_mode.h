// Switching the instrument's USB mode from 0 to 1 and restarting it: the console's "eth" mode and
// nv-service's usb-mode action. Nothing here prints.
#pragma once

// Where the switch ended.
enum {
    Q8_USB_MODE_SWITCHED = 0,        // mode 1 written, the restart confirmed
    Q8_USB_MODE_ALREADY = 1,         // the mode was not 0: nothing written
    Q8_USB_MODE_UNCONFIRMED = 2,     // mode 1 written, the restart went unanswered
    Q8_USB_MODE_GET_FAILED = 3,      // reading the parameter record failed (`code`)
    Q8_USB_MODE_INCOMPLETE = 4,      // the record came back short (`length` bytes): nothing written
    Q8_USB_MODE_SET_FAILED = 5,      // writing the record back failed (`code`)
    Q8_USB_MODE_RESTART_FAILED = 6,  // the restart was refused (`code`)
};

struct q8_usb_mode_result {
    int step;    // one of the above
    int code;    // the failing request's result
    int length;  // the record's length as read
};

// Reads the parameter record and, when its USB mode is 0, writes it back with mode 1 (only a
// record the instrument filled completely) and restarts the instrument.
q8_usb_mode_result Q8_switch_usb_mode(int handle);
