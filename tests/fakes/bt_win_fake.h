// The Windows fake Bluetooth radio, included by bt_fake.h with what both share: whether a radio
// is there, the devices an inquiry finds with class and name, pairing (the PIN the transport
// answers when the fake asks), and RFCOMM "sockets" that are one end of a loopback TCP connection
// whose other end is the instrument's, or a listening socket that never connects.
#pragma once

namespace bt_fake {

// Every Winsock error by which Windows tells of each.
inline const std::map<Refusal, std::vector<int>> CODES = {
    {Refusal::none, {0}},
    {Refusal::not_answering, {WSAETIMEDOUT, WSAEHOSTDOWN, WSAEHOSTUNREACH}},
    {Refusal::channel, {WSAECONNREFUSED}},
    {Refusal::pairing, {WSAEACCES}},
    {Refusal::no_controller, {WSAENETDOWN, WSAENETUNREACH, WSAEADDRNOTAVAIL}},
    {Refusal::no_support, {WSAEAFNOSUPPORT, WSAEPROTONOSUPPORT, WSAESOCKTNOSUPPORT}},
    {Refusal::other, {WSAEINVAL}}};

inline std::string pairing_note(const std::string& address, const std::string& pin) {
    return pairing_note(address, pin, "in the Bluetooth settings of Windows (Add device: ");
}
inline const std::string NO_CONTROLLER_NOTE =
    "No Bluetooth radio is on in this computer (switched off in the Bluetooth settings, or in "
    "flight mode).\n";
inline const std::string NO_SUPPORT_NOTE =
    "This computer has no Bluetooth serial links (no Bluetooth radio or stack is installed).\n";

struct Found {
    BLUETOOTH_ADDRESS address;
    ULONG cod;
    std::wstring name;
};

// The radio and the instrument's side of the RFCOMM socket. Everything under `lock`.
struct FakeBt : Common {
    bool radio = true;
    std::vector<Found> found;
    bool authenticate = false;  // the socket was told to authenticate
    std::string pin_answered;   // the PIN the transport gave when asked
    // How the device pairs; the answer but a PIN's: "confirmed N", "passkey N" or "declined".
    BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS request = {{},
                                                        BLUETOOTH_AUTHENTICATION_METHOD_LEGACY,
                                                        BLUETOOTH_IO_CAPABILITY_DISPLAYYESNO,
                                                        MITMProtectionNotRequiredGeneralBonding,
                                                        {0}};
    std::string answer;
    int registrations = 0;           // PIN callbacks registered and not yet unregistered
    int radios = 0, finds = 0;       // handles given out and not yet closed
    SOCKET device = INVALID_SOCKET;  // the instrument's end
    PFN_AUTHENTICATION_CALLBACK_EX pin_callback = nullptr;
    PVOID pin_param = nullptr;
    size_t next = 0;  // of the inquiry

    ~FakeBt() {
        if (device != INVALID_SOCKET) closesocket(device);
    }
};

inline FakeBt* fake = nullptr;

// The next device the inquiry finds, into *info; false after the last.
inline bool next_found(BLUETOOTH_DEVICE_INFO* info) {
    if (fake->next >= fake->found.size()) return false;
    const Found& f = fake->found[fake->next++];
    info->Address = f.address;
    info->ulClassofDevice = f.cod;
    wcsncpy(info->szName, f.name.c_str(), BLUETOOTH_MAX_NAME_SIZE);
    return true;
}

// A device that answers the inquiry: device n's address, its class and name (UTF-8).
inline void answers(FakeBt& bt, int n, int cod, const std::string& name = "") {
    wchar_t wide[BLUETOOTH_MAX_NAME_SIZE] = L"";
    MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide, BLUETOOTH_MAX_NAME_SIZE);
    BLUETOOTH_ADDRESS a{};
    address_of(n, a.rgBytes);
    bt.found.push_back({a, static_cast<ULONG>(cod), wide});
}
// Windows finds the first radio that is on.
inline void radio(FakeBt& bt, Radio r) {
    bt.radio = r == Radio::on || r == Radio::second;
}
// The answer to the device's last pairing request but a PIN's.
inline std::string paired_answer(FakeBt& bt) {
    std::lock_guard<std::mutex> guard(bt.lock);
    return bt.answer;
}
// Whether the link asked to be paired: the PIN it answered with, or empty when not asked.
inline std::string paired_with(FakeBt& bt, const std::string&) {
    std::lock_guard<std::mutex> guard(bt.lock);
    return bt.authenticate ? bt.pin_answered : "";
}

// ---- the instrument's end --------------------------------------------------------------------

inline bool device_write(FakeBt& bt, const std::string& s) {
    return send(bt.device, s.data(), static_cast<int>(s.size()), 0) == static_cast<int>(s.size());
}
// Reads until `n` bytes are there (n = 0: until the other side closes), an error or the limit.
inline std::string device_read(FakeBt& bt, size_t n = 0) {
    std::string out;
    char buf[4096];
    while (n == 0 || out.size() < n) {
        WSAPOLLFD p{bt.device, POLLIN, 0};
        if (WSAPoll(&p, 1, 30000) <= 0) break;
        const int got = recv(bt.device, buf, sizeof buf, 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}
inline void device_close(FakeBt& bt) {
    closesocket(bt.device);
    bt.device = INVALID_SOCKET;
}

// A socket listening on loopback, and its address.
inline SOCKET listening(sockaddr_in* a) {
    SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    *a = {};
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof *a;
    const bool ok = bind(l, reinterpret_cast<sockaddr*>(a), len) == 0 && listen(l, 1) == 0 &&
                    getsockname(l, reinterpret_cast<sockaddr*>(a), &len) == 0;
    return ok ? l : (closesocket(l), INVALID_SOCKET);
}
// A connected pair of loopback TCP sockets.
inline bool socket_pair(SOCKET* mine, SOCKET* theirs) {
    sockaddr_in a;
    SOCKET l = listening(&a);
    bool ok = l != INVALID_SOCKET;
    *mine = ok ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    ok = ok && connect(*mine, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
         (*theirs = accept(l, nullptr, nullptr)) != INVALID_SOCKET;
    closesocket(l);
    return ok;
}

// clang-format off
inline const comm_btwin_api FAKE_API = {
    [](const BLUETOOTH_FIND_RADIO_PARAMS* p, HANDLE* radio) -> HBLUETOOTH_RADIO_FIND {
        std::lock_guard<std::mutex> guard(fake->lock);
        EXPECT_EQ(p->dwSize, sizeof *p);
        if (!fake->radio) return SetLastError(ERROR_NO_MORE_ITEMS), nullptr;
        fake->radios += 2;
        *radio = reinterpret_cast<HANDLE>(fake);
        return reinterpret_cast<HBLUETOOTH_RADIO_FIND>(fake);
    },
    [](HBLUETOOTH_RADIO_FIND) -> BOOL { std::lock_guard<std::mutex> guard(fake->lock); --fake->radios; return TRUE; },
    [](HANDLE) -> BOOL { std::lock_guard<std::mutex> guard(fake->lock); --fake->radios; return TRUE; },
    [](const BLUETOOTH_DEVICE_SEARCH_PARAMS* p, BLUETOOTH_DEVICE_INFO* info) -> HBLUETOOTH_DEVICE_FIND {
        std::lock_guard<std::mutex> guard(fake->lock);
        EXPECT_TRUE(p->fIssueInquiry && p->fReturnUnknown && p->fReturnRemembered);
        EXPECT_EQ(p->cTimeoutMultiplier, 8);  // an inquiry of 8 x 1.28 s
        fake->next = 0;
        if (!next_found(info)) return SetLastError(ERROR_NO_MORE_ITEMS), nullptr;
        ++fake->finds;
        return reinterpret_cast<HBLUETOOTH_DEVICE_FIND>(fake);
    },
    [](HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO* info) -> BOOL {
        std::lock_guard<std::mutex> guard(fake->lock);
        if (next_found(info)) return TRUE;
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    },
    [](HBLUETOOTH_DEVICE_FIND) -> BOOL { std::lock_guard<std::mutex> guard(fake->lock); --fake->finds; return TRUE; },
    [](const BLUETOOTH_DEVICE_INFO*, HBLUETOOTH_AUTHENTICATION_REGISTRATION* h,
       PFN_AUTHENTICATION_CALLBACK_EX callback, PVOID param) -> HRESULT {
        std::lock_guard<std::mutex> guard(fake->lock);
        ++fake->registrations;
        fake->pin_callback = callback;
        fake->pin_param = param;
        *h = fake;
        return S_OK;
    },
    [](HBLUETOOTH_AUTHENTICATION_REGISTRATION) -> BOOL {
        std::lock_guard<std::mutex> guard(fake->lock);
        --fake->registrations;
        fake->pin_callback = nullptr;
        return TRUE;
    },
    [](HANDLE, PBLUETOOTH_AUTHENTICATE_RESPONSE r) -> HRESULT {
        std::lock_guard<std::mutex> guard(fake->lock);
        EXPECT_EQ(r->authMethod, fake->request.authenticationMethod);
        EXPECT_EQ(text_of(r->bthAddressRemote.rgBytes), text_of(fake->request.deviceInfo.Address.rgBytes));
        if (r->negativeResponse)
            fake->answer = "declined";
        else if (r->authMethod == BLUETOOTH_AUTHENTICATION_METHOD_LEGACY)
            fake->pin_answered.assign(reinterpret_cast<const char*>(r->pinInfo.pin), r->pinInfo.pinLength);
        else if (r->authMethod == BLUETOOTH_AUTHENTICATION_METHOD_NUMERIC_COMPARISON)
            fake->answer = "confirmed " + std::to_string(r->numericCompInfo.NumericValue);
        else
            fake->answer = "passkey " + std::to_string(r->passkeyInfo.passkey);
        return S_OK;
    },
    [](int family, int type, int protocol) -> SOCKET {
        std::lock_guard<std::mutex> guard(fake->lock);
        EXPECT_EQ(family, AF_BTH);
        EXPECT_EQ(type, SOCK_STREAM);
        EXPECT_EQ(protocol, BTHPROTO_RFCOMM);
        SOCKET mine = INVALID_SOCKET;
        if (fake->connect == Connect::no_socket) return WSASetLastError(fake->err), INVALID_SOCKET;
        sockaddr_in a;
        if (fake->connect == Connect::never) return listening(&a);  // never writable
        if (fake->device != INVALID_SOCKET) closesocket(fake->device);  // the availability probe's
        if (!socket_pair(&mine, &fake->device)) ADD_FAILURE() << "no loopback pair";
        return mine;
    },
    [](SOCKET, int level, int name, const char* value, int) -> int {
        std::lock_guard<std::mutex> guard(fake->lock);
        if (level == SOL_RFCOMM && name == static_cast<int>(SO_BTH_AUTHENTICATE))
            fake->authenticate = *reinterpret_cast<const ULONG*>(value) != 0;
        return 0;
    },
    [](SOCKET, const sockaddr* to, int length) -> int {
        PFN_AUTHENTICATION_CALLBACK_EX ask;
        PVOID param;
        BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS request;
        {
            std::lock_guard<std::mutex> guard(fake->lock);
            EXPECT_EQ(length, static_cast<int>(sizeof(SOCKADDR_BTH)));
            auto bth = reinterpret_cast<const SOCKADDR_BTH*>(to);
            BLUETOOTH_ADDRESS a;
            a.ullLong = bth->btAddr;
            fake->connected_to = text_of(a.rgBytes) + " channel " + std::to_string(bth->port);
            ask = fake->authenticate ? fake->pin_callback : nullptr;
            param = fake->pin_param;
            fake->request.deviceInfo.dwSize = sizeof fake->request.deviceInfo;
            fake->request.deviceInfo.Address.ullLong = bth->btAddr;
            request = fake->request;
        }
        if (ask) ask(param, &request);  // while connecting; declined, the connection is refused
        if (paired_answer(*fake) == "declined") return WSASetLastError(WSAEACCES), SOCKET_ERROR;
        return connect_outcome(*fake, WSASetLastError, WSAEWOULDBLOCK);
    },
    [](SOCKET, int level, int name, char* value, int* length) -> int {
        return so_error(*fake, level, name, value, length);
    },
};
// clang-format on

struct Installed {
    FakeBt bt;
    Installed() {
        fake = &bt;
        comm_btwin_set_api(&FAKE_API);
    }
    ~Installed() {
        comm_btwin_set_api(nullptr);
        fake = nullptr;
        EXPECT_EQ(bt.registrations, 0) << "a PIN callback left registered";
        EXPECT_EQ(bt.radios, 0) << "a radio handle left open";
        EXPECT_EQ(bt.finds, 0) << "an inquiry left open";
    }
};

}  // namespace bt_fake
