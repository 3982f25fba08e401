// The USB library calls the USB transport makes, as one table of function pointers. The table in
// use is libusb-1.0 itself unless a test installs its own (a fake bus with fake devices), so the
// listing, the links and hot-plug run through all their paths without a USB bus.
//
// Built only with libusb (NV_HAVE_LIBUSB); each member has the signature of the libusb function
// of the same name without its "libusb_" prefix.
#pragma once

#if NV_HAVE_LIBUSB

#include <libusb.h>
#include <sys/time.h>

#include <cstdint>

struct comm_usb_api {
    int (*init)(libusb_context** ctx);
    void (*exit)(libusb_context* ctx);
    ssize_t (*get_device_list)(libusb_context* ctx, libusb_device*** list);
    void (*free_device_list)(libusb_device** list, int unref_devices);
    int (*get_device_descriptor)(libusb_device* dev, libusb_device_descriptor* desc);
    uint8_t (*get_bus_number)(libusb_device* dev);
    int (*get_port_numbers)(libusb_device* dev, uint8_t* ports, int length);
    int (*get_active_config_descriptor)(libusb_device* dev, libusb_config_descriptor** config);
    void (*free_config_descriptor)(libusb_config_descriptor* config);

    int (*open)(libusb_device* dev, libusb_device_handle** handle);
    void (*close)(libusb_device_handle* handle);
    int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index,
                                       unsigned char* data, int length);
    int (*kernel_driver_active)(libusb_device_handle* handle, int interface_number);
    int (*detach_kernel_driver)(libusb_device_handle* handle, int interface_number);
    int (*attach_kernel_driver)(libusb_device_handle* handle, int interface_number);
    int (*claim_interface)(libusb_device_handle* handle, int interface_number);
    int (*release_interface)(libusb_device_handle* handle, int interface_number);
    int (*clear_halt)(libusb_device_handle* handle, unsigned char endpoint);

    libusb_transfer* (*alloc_transfer)(int iso_packets);
    void (*free_transfer)(libusb_transfer* transfer);
    int (*submit_transfer)(libusb_transfer* transfer);
    int (*cancel_transfer)(libusb_transfer* transfer);

    const libusb_pollfd** (*get_pollfds)(libusb_context* ctx);
    void (*free_pollfds)(const libusb_pollfd** fds);
    int (*get_next_timeout)(libusb_context* ctx, timeval* tv);
    int (*handle_events_timeout_completed)(libusb_context* ctx, timeval* tv, int* completed);

    int (*has_capability)(uint32_t capability);
    int (*hotplug_register_callback)(libusb_context* ctx, int events, int flags, int vendor_id,
                                     int product_id, int dev_class, libusb_hotplug_callback_fn fn,
                                     void* user_data, libusb_hotplug_callback_handle* handle);
    void (*hotplug_deregister_callback)(libusb_context* ctx, libusb_hotplug_callback_handle handle);
};

// Installs `api` for every later call of the transport (null restores libusb). The table must
// outlive its use; swap it only while no USB link is open and nothing is registered.
void comm_usb_set_api(const comm_usb_api* api);

#endif  // NV_HAVE_LIBUSB
