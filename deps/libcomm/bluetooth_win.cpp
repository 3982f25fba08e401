// Bluetooth on Windows: whether a radio is there, the inquiry, pairing with the string's PIN, and
// the Winsock RFCOMM (AF_BTH) sockets under the links of bluetooth_link.cpp (see bt_socket.h).
//
// A link whose string has a PIN has its socket told to authenticate, and while it connects an
// authentication callback registered for that device answers the pairing requests (see
// pin_requested), so a device not yet paired is paired on the way. Without a PIN nothing is
// registered: pairing is the system's to ask.
//
// The inquiry (its thread is bluetooth.cpp's; BluetoothFindFirstDevice blocks for the whole of
// the search) lists every device that answers or that Windows remembers, each once and at most
// 32, with its own class of device and name, as on Linux (the class argument is not a filter). A
// cancel cannot stop the search itself; it ends the listing at the next device.
//
// The Bluetooth API is loaded when first used (bluetoothapis.dll, or bthprops.cpl on Windows 7):
// where there is none, or Winsock has no Bluetooth sockets, no radio is reported. Every call goes
// through the table in bt_win_api.h.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bt_socket.h"
#include "bt_win_api.h"
#include "comm_win.h"

namespace {

constexpr int INQUIRY_LENGTH = 8;  // x 1.28 s

// ---- Windows' own calls -----------------------------------------------------------------------

FARPROC bluetooth_api(const char* name) {
    static const HMODULE module = [] {
        HMODULE m = LoadLibraryW(L"bluetoothapis.dll");
        return m ? m : LoadLibraryW(L"bthprops.cpl");
    }();
    return module ? GetProcAddress(module, name) : nullptr;
}

// Calls the Bluetooth API's function `name` of type F, or answers `missing` without one.
template <typename F, typename R, typename... Args>
R call(const char* name, R missing, Args... args) {
    auto f = reinterpret_cast<F>(reinterpret_cast<void*>(bluetooth_api(name)));
    if (f == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return missing;
    }
    return f(args...);
}

HBLUETOOTH_RADIO_FIND WINAPI real_first_radio(const BLUETOOTH_FIND_RADIO_PARAMS* p, HANDLE* r) {
    using F = HBLUETOOTH_RADIO_FIND(WINAPI*)(const BLUETOOTH_FIND_RADIO_PARAMS*, HANDLE*);
    return call<F>("BluetoothFindFirstRadio", HBLUETOOTH_RADIO_FIND(nullptr), p, r);
}
BOOL WINAPI real_radio_close(HBLUETOOTH_RADIO_FIND f) {
    return call<BOOL(WINAPI*)(HBLUETOOTH_RADIO_FIND)>("BluetoothFindRadioClose", FALSE, f);
}
HBLUETOOTH_DEVICE_FIND WINAPI real_first_device(const BLUETOOTH_DEVICE_SEARCH_PARAMS* p,
                                                BLUETOOTH_DEVICE_INFO* i) {
    using F = HBLUETOOTH_DEVICE_FIND(WINAPI*)(const BLUETOOTH_DEVICE_SEARCH_PARAMS*,
                                              BLUETOOTH_DEVICE_INFO*);
    return call<F>("BluetoothFindFirstDevice", HBLUETOOTH_DEVICE_FIND(nullptr), p, i);
}
BOOL WINAPI real_next_device(HBLUETOOTH_DEVICE_FIND f, BLUETOOTH_DEVICE_INFO* i) {
    using F = BOOL(WINAPI*)(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO*);
    return call<F>("BluetoothFindNextDevice", FALSE, f, i);
}
BOOL WINAPI real_device_close(HBLUETOOTH_DEVICE_FIND f) {
    return call<BOOL(WINAPI*)(HBLUETOOTH_DEVICE_FIND)>("BluetoothFindDeviceClose", FALSE, f);
}
HRESULT WINAPI real_register(const BLUETOOTH_DEVICE_INFO* d,
                             HBLUETOOTH_AUTHENTICATION_REGISTRATION* h,
                             PFN_AUTHENTICATION_CALLBACK_EX callback, PVOID param) {
    using F =
        HRESULT(WINAPI*)(const BLUETOOTH_DEVICE_INFO*, HBLUETOOTH_AUTHENTICATION_REGISTRATION*,
                         PFN_AUTHENTICATION_CALLBACK_EX, PVOID);
    return call<F>("BluetoothRegisterForAuthenticationEx", E_NOTIMPL, d, h, callback, param);
}
BOOL WINAPI real_unregister(HBLUETOOTH_AUTHENTICATION_REGISTRATION h) {
    using F = BOOL(WINAPI*)(HBLUETOOTH_AUTHENTICATION_REGISTRATION);
    return call<F>("BluetoothUnregisterAuthentication", FALSE, h);
}
HRESULT WINAPI real_respond(HANDLE radio, PBLUETOOTH_AUTHENTICATE_RESPONSE r) {
    using F = HRESULT(WINAPI*)(HANDLE, PBLUETOOTH_AUTHENTICATE_RESPONSE);
    return call<F>("BluetoothSendAuthenticationResponseEx", E_NOTIMPL, radio, r);
}

const comm_btwin_api REAL_API = {
    real_first_radio,  real_radio_close, CloseHandle,     real_first_device, real_next_device,
    real_device_close, real_register,    real_unregister, real_respond,      ::socket,
    ::setsockopt,      ::connect,        ::getsockopt,
};

std::atomic<const comm_btwin_api*> current_api{&REAL_API};

const comm_btwin_api& bt() {
    return *current_api.load();
}

BTH_ADDR address_of(const char* text) {
    uint8_t bytes[6] = {};
    comm_bt_address_bytes(text, bytes);
    BTH_ADDR a = 0;
    for (uint8_t b : bytes) a = a << 8 | b;
    return a;
}

std::string utf8_of(const wchar_t* text) {
    char out[4 * BLUETOOTH_MAX_NAME_SIZE];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return n > 0 ? std::string(out) : std::string();
}

// ---- RFCOMM sockets (the link is bluetooth_link.cpp's) -----------------------------------

constexpr bt_refusal REFUSALS[] = {
    {WSAETIMEDOUT, COMM_BT_NOT_ANSWERING},    {WSAEHOSTDOWN, COMM_BT_NOT_ANSWERING},
    {WSAEHOSTUNREACH, COMM_BT_NOT_ANSWERING}, {WSAECONNREFUSED, COMM_BT_CHANNEL_REFUSED},
    {WSAEACCES, COMM_BT_PAIRING_REFUSED},     {WSAENETDOWN, COMM_BT_NO_CONTROLLER},
    {WSAENETUNREACH, COMM_BT_NO_CONTROLLER},  {WSAEADDRNOTAVAIL, COMM_BT_NO_CONTROLLER},
    {WSAEAFNOSUPPORT, COMM_BT_NO_SUPPORT},    {WSAEPROTONOSUPPORT, COMM_BT_NO_SUPPORT},
    {WSAESOCKTNOSUPPORT, COMM_BT_NO_SUPPORT},
};

// The string's PIN as a passkey, when it is one (1 to 6 decimal digits); -1 otherwise.
long passkey_of(const char* pin) {
    const size_t n = std::strlen(pin);
    if (n == 0 || n > 6 || std::strspn(pin, "0123456789") != n) return -1;
    return std::strtol(pin, nullptr, 10);
}

bool needs_protection(BLUETOOTH_AUTHENTICATION_REQUIREMENTS r) {
    return r == MITMProtectionRequired || r == MITMProtectionRequiredBonding ||
           r == MITMProtectionRequiredGeneralBonding;
}

// The system asks while the socket connects, in the way the device pairs, and is answered as
// Linux pairs at the link's security level (authenticated, no protection against a man in the
// middle asked for): a PIN request (before Bluetooth 2.1) gets the string's PIN; a numeric
// comparison without a number to compare (Just Works: the device has no display, or neither side
// asks for protection) is confirmed; a passkey to enter gets the string's PIN when that is one.
// What needs a person (a number to compare, a passkey to show) or data we do not have (out of
// band) is declined at once, so the pairing fails with the note of what to do rather than stall.
BOOL CALLBACK pin_requested(LPVOID param, PBLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS request) {
    auto s = static_cast<bt_link*>(param);
    BLUETOOTH_AUTHENTICATE_RESPONSE response{};
    response.bthAddressRemote = request->deviceInfo.Address;
    response.authMethod = request->authenticationMethod;
    switch (request->authenticationMethod) {
        case BLUETOOTH_AUTHENTICATION_METHOD_LEGACY: {
            const size_t n = std::strlen(s->params.pin);
            std::memcpy(response.pinInfo.pin, s->params.pin, n);
            response.pinInfo.pinLength = static_cast<UCHAR>(n);
            break;
        }
        case BLUETOOTH_AUTHENTICATION_METHOD_NUMERIC_COMPARISON:
            response.numericCompInfo.NumericValue = request->Numeric_Value;
            response.negativeResponse =
                request->ioCapability != BLUETOOTH_IO_CAPABILITY_NOINPUTNOOUTPUT &&
                needs_protection(request->authenticationRequirements);
            break;
        case BLUETOOTH_AUTHENTICATION_METHOD_PASSKEY: {
            const long passkey = passkey_of(s->params.pin);
            response.passkeyInfo.passkey = passkey < 0 ? 0 : static_cast<ULONG>(passkey);
            response.negativeResponse = passkey < 0;
            break;
        }
        default:
            response.negativeResponse = TRUE;
            break;
    }
    const HRESULT r = bt().send_authentication_response_ex(nullptr, &response);
    if (FAILED(r)) comm_trace("bluetooth pairing answer", static_cast<int>(r));
    return TRUE;
}

}  // namespace

const bt_refusal* const BT_SOCKET_REFUSALS = REFUSALS;
const int BT_SOCKET_REFUSAL_COUNT = static_cast<int>(std::size(REFUSALS));
const comm_bt_advice BT_SOCKET_ADVICE = {
    "Pair it once in the Bluetooth settings of Windows (Add device: %s%s%s), then connect "
    "again.\n",
    "No Bluetooth radio is on in this computer (switched off in the Bluetooth settings, or in "
    "flight mode).\n",
    "This computer has no Bluetooth serial links (no Bluetooth radio or stack is installed).\n",
};
const int BT_SOCKET_TIMED_OUT = WSAETIMEDOUT;

comm_fd bt_socket_open(int* err, const char** setup) {
    SOCKET s =
        comm_winsock_start() ? bt().socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM) : INVALID_SOCKET;
    if (s == INVALID_SOCKET) {
        *err = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonblocking = 1;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        *err = WSAGetLastError();
        *setup = "bluetooth socket FIONBIO";
        comm_win_close_socket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Answers the device's PIN requests and has the socket authenticate.
void bt_socket_authenticate(bt_link* s) {
    BLUETOOTH_DEVICE_INFO device{};
    device.dwSize = sizeof device;
    device.Address.ullLong = address_of(s->params.address);
    const HRESULT r = bt().register_for_authentication_ex(&device, &s->pairing, pin_requested, s);
    if (FAILED(r)) {
        comm_trace("bluetooth PIN registration", static_cast<int>(r));
        s->pairing = nullptr;
    }
    ULONG on = TRUE;
    if (bt().setsockopt(s->fd, SOL_RFCOMM, SO_BTH_AUTHENTICATE, reinterpret_cast<const char*>(&on),
                        sizeof on) != 0)
        comm_trace("bluetooth authentication", WSAGetLastError());
}

int bt_socket_connect(comm_fd fd, const comm_bt_params& p, int* err) {
    SOCKADDR_BTH to{};
    to.addressFamily = AF_BTH;
    to.btAddr = address_of(p.address);
    to.port = static_cast<ULONG>(p.channel);
    if (bt().connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 1;
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return 0;
    *err = e;
    return -1;
}

int bt_socket_connect_result(comm_fd fd) {
    int err = 0;
    int len = sizeof err;
    if (bt().getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        err = WSAGetLastError();
    return err;
}

void bt_socket_stop_pairing(bt_link* s) {
    if (s->pairing != nullptr) bt().unregister_authentication(s->pairing);
    s->pairing = nullptr;
}

void bt_socket_close(comm_fd fd) {
    comm_win_close_socket(fd);
}

void comm_btwin_set_api(const comm_btwin_api* api) {
    current_api = api != nullptr ? api : &REAL_API;
}

// A radio is asked for only where Winsock has Bluetooth sockets at all: without a Bluetooth
// stack (and under Wine, whose Bluetooth API is stubs) there is nothing to ask.
int comm_bt_is_available(void) {
    SOCKET probe =
        comm_winsock_start() ? bt().socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM) : INVALID_SOCKET;
    if (probe == INVALID_SOCKET) return 0;
    comm_win_close_socket(probe);
    BLUETOOTH_FIND_RADIO_PARAMS params{};
    params.dwSize = sizeof params;
    HANDLE radio = nullptr;
    HBLUETOOTH_RADIO_FIND find = bt().find_first_radio(&params, &radio);
    if (find == nullptr) return 0;
    bt().close_handle(radio);
    bt().find_radio_close(find);
    return 1;
}

int comm_bt_radio(void) {
    if (comm_bt_is_available()) return 0;
    comm_trace_text("bluetooth", "no radio");
    return -1;
}

std::vector<std::string> comm_bt_search(int, const std::atomic<bool>& cancelled) {
    BLUETOOTH_DEVICE_SEARCH_PARAMS search{};
    search.dwSize = sizeof search;
    search.fReturnAuthenticated = search.fReturnRemembered = TRUE;
    search.fReturnUnknown = search.fReturnConnected = search.fIssueInquiry = TRUE;
    search.cTimeoutMultiplier = INQUIRY_LENGTH;
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof info;
    comm_bt_found found;
    HBLUETOOTH_DEVICE_FIND find = bt().find_first_device(&search, &info);
    if (find == nullptr && GetLastError() != ERROR_NO_MORE_ITEMS)
        comm_trace("bluetooth inquiry", static_cast<int>(GetLastError()));
    for (bool more = find != nullptr; more && !cancelled && !found.full();
         more = bt().find_next_device(find, &info)) {
        char address[18];
        comm_bt_address_text(info.Address.rgBytes, address);
        if (!found.first_time(address)) continue;
        info.szName[BLUETOOTH_MAX_NAME_SIZE - 1] = L'\0';
        found.add(address, utf8_of(info.szName), static_cast<int>(info.ulClassofDevice & 0xFFFFFF));
    }
    if (find != nullptr) bt().find_device_close(find);
    return found.entries;
}

// The search itself cannot be stopped: the listing ends at the next device.
void comm_bt_search_cancel(void) {}
