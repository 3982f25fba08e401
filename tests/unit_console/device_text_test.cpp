// Text that devices and the network send, on the operator's terminal: escapes, bells, carriage
// returns, C1 controls and broken UTF-8 shown as \xHH wherever such text is printed (discovery
// rows, USB and Bluetooth names, versions, serial number, the serial prompt), while printable
// text passes unchanged; and "eth", which touches nothing that was not recognised.
#include "fixture.h"
#include "q5_cmds.h"
#include "q8_cmds.h"
#include "safe_text.h"

int nv_term_main(int argc, char** argv);

namespace {

TEST(DeviceText, PrintableTextPassesControlsAndBrokenUtf8AreEscaped) {
    const struct {
        std::string in;
        size_t max;
        std::string shown;
    } cases[] = {
        {" azAZ09~!\\%s", 64, " azAZ09~!\\%s"},
        // Valid UTF-8 at the edges of each length: U+00A0, U+07FF, U+0800, U+D7FF, U+E000,
        // U+FFFF, U+10000, U+10FFFF.
        {"\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", 64,
         "\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"},
        {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf caf\xc3\xa9", 64,
         "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf caf\xc3\xa9"},
        // C0 (ESC, BEL, CR, LF, TAB, 0x01, 0x1F), DEL.
        {"\x1b]0;owned\x07\r\n\t\x01\x1f\x7f", 64,
         "\\x1b]0;owned\\x07\\x0d\\x0a\\x09\\x01\\x1f\\x7f"},
        // C1 as a byte and as UTF-8 (U+0080, U+009B CSI, U+009F).
        {"\x9b"
         "2J\x80\xc2\x80\xc2\x9b\xc2\x9f",
         64, "\\x9b2J\\x80\\xc2\\x80\\xc2\\x9b\\xc2\\x9f"},
        // Overlong, surrogate, beyond U+10FFFF, bytes never valid.
        {"\xc0\xaf\xc1\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf", 64,
         "\\xc0\\xaf\\xc1\\xbf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf"},
        {"\xed\xbf\xbf\xfc\x80\x80\x80\x84\x80\x80\x80", 64,
         "\\xed\\xbf\\xbf\\xfc\\x80\\x80\\x80\\x84\\x80\\x80\\x80"},
        {"\xed\xa0\x80\xf4\x90\x80\x80\xf5\xfe\xff", 64,
         "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xf5\\xfe\\xff"},
        // A sequence cut short by a wrong byte, by the end of the text, by the field's end.
        {"\xe2\x82"
         "A\xc3",
         64, "\\xe2\\x82A\\xc3"},
        {"ab\xe2\x82\xac", 4, "ab\\xe2\\x82"},
        {"\xf0\x9f\x98", 64, "\\xf0\\x9f\\x98"},
        // Bidirectional controls, zero-width characters, the byte-order mark and the line and
        // paragraph separators, between their printable neighbours U+200A, U+2010, U+202F,
        // U+205F, U+206A and U+FEFE.
        {"\xe2\x80\x8a\xe2\x80\x8b\xe2\x80\x8f\xe2\x80\x90\xe2\x80\xa8\xe2\x80\xae\xe2\x80\xaf", 64,
         "\xe2\x80\x8a\\xe2\\x80\\x8b\\xe2\\x80\\x8f\xe2\x80\x90\\xe2\\x80\\xa8\\xe2\\x80\\xae\xe2"
         "\x80\xaf"},
        {"\xe2\x81\x9f\xe2\x81\xa0\xe2\x81\xa9\xe2\x81\xaa\xd8\x9c\xef\xbb\xbf\xef\xbb\xbe", 64,
         "\xe2\x81\x9f\\xe2\\x81\\xa0\\xe2\\x81\\xa9\xe2\x81\xaa\\xd8\\x9c\\xef\\xbb\\xbf\xef\xbb"
         "\xbe"},
        // The text ends at its NUL or at its field's size.
        {std::string("ab\0\x1b", 4), 4, "ab"},
        {"abcdef", 3, "abc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(device_text(c.in.c_str(), c.max), c.shown) << c.in;
    }
    EXPECT_EQ(device_text(nullptr, 8), "");
}

const std::string HOSTILE = "\x1b[2J\x07\r\x9b\xc2\x9b\xff\xe2\x80\xae\xe2\x80\x8b";
const std::string SHOWN = "\\x1b[2J\\x07\\x0d\\x9b\\xc2\\x9b\\xff\\xe2\\x80\\xae\\xe2\\x80\\x8b";

// A discovery announcement: ident, address and name fields of 10, 16 and 40 bytes.
Bytes announcement(const std::string& address, const std::string& name) {
    Bytes p(66, 0);
    std::memcpy(p.data() + 10, address.data(), address.size());
    std::memcpy(p.data() + 26, name.data(), name.size());
    return frame_of(8600, p);
}

TEST_F(Linked, DeviceListsShowHostileNamesEscaped) {
    const std::string types = "0. No device\n1. USB\n2. COM port\n3. Net\n";
    struct {
        const char* name;
        std::vector<std::string> usb, bt;
        std::vector<Bytes> datagrams;
        std::string input;
        std::string listed;  // between the questions
        std::string conn;    // handed to the link as it came
    } cases[] = {
        {"usb", {HOSTILE}, {}, {}, "\n\n", "0. No device\n1. 'dev " + SHOWN + "'\n\n", HOSTILE},
        {"bluetooth",
         {},
         {"ok", HOSTILE},
         {},
         "4\n\n",
         "Bluetooth inquiry...Complete.\n0. Enter BD addr\n1. 'dev ok'\n2. 'dev " + SHOWN + "'\n\n",
         HOSTILE},
        {"discovery",
         {},
         {},
         {announcement(HOSTILE, "unused"), announcement("",
                                                        "nv\x1b]0;x\x07"
                                                        "52")},
         "3\n2\n1\n",
         "0. 127.0.0.1\n1. 192.168.7.1\n2. Discover host\n3. Enter host\n\nSelect "
         "host[1]:0. " +
             SHOWN + "\n1. nv\\x1b]0;x\\x0752\n",
         "tcp:nv\x1b]0;x\x07"
         "52:4444"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        connected = 0;
        fake_qxx::st().usb_devices = c.usb;
        fake_qxx::st().bt_devices = c.bt;
        fake_qxx::st().bt_available = !c.bt.empty();
        fake_qxx::st().datagrams = c.datagrams;
        Console con(c.input);
        EXPECT_EQ(connect_dev(1), 0);
        const std::string out = con.out();
        EXPECT_NE(out.find(types), std::string::npos) << out;
        EXPECT_NE(out.find(c.listed), std::string::npos) << out;
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
        EXPECT_EQ(fake_qxx::st().connect_strings, std::vector<std::string>{c.conn});
    }
}

TEST_F(Linked, VersionsAndSerialFromTheDeviceShowEscaped) {
    Bytes versions(415, 0);
    const std::string fields[6] = {"1.2\x1b[31m",
                                   "fs\r\n",
                                   std::string(32, 'g'),
                                   "\xe2\x82\xac ok\xe2\x80\xae\xe2\x80\x8b",
                                   "\x9b"
                                   "1;1H",
                                   "k\xff\x07"};
    for (int i = 0; i < 6; ++i) std::memcpy(&versions[32 * i], fields[i].data(), fields[i].size());
    fake_qxx::st().replies[8001].push_back(answer(0, versions));
    EXPECT_EQ(run(Q8_cmd_get_fw_version, "ve\n"),
              std::pair(0,
                        "\nVersions\nOverall\t\t= 1.2\\x1b[31m\nFile system\t= fs\\x0d\\x0a\n"
                        "Gui\t\t= " +
                            std::string(32, 'g') +
                            "\nTalvek\t\t= \xe2\x82\xac ok\\xe2\\x80\\xae\\xe2\\x80\\x8b\n"
                            "Gpp\t\t= \\x9b1;1H\nKernel\t\t= k\\xff\\x07\n\n"));

    const Bytes serial = text("B\x1b[8m\x07\r\xff");
    fake_qxx::st().replies[8007] = {answer(0, serial), answer(0, serial)};
    EXPECT_EQ(run(Q8_cmd_get_serial, "gs\n"),
              std::pair(0, std::string("Serial = B\\x1b[8m\\x07\\x0d\\xff\n")));
    // The last four characters are the prompt's default; an empty answer sends them back as
    // they came.
    EXPECT_EQ(run(Q8_cmd_set_serial, "ss\n", "\n"),
              std::pair(0, std::string("Enter serial[m\\x07\\x0d\\xff]:Setting serial "
                                       "to:B000m\\x07\\x0d\\xff\n")));
    EXPECT_EQ(fake_qxx::st().calls.back().request, text("B000m\x07\r\xff"));

    fake_qxx::st().replies[8001].push_back(answer(0, text("v\x1b"
                                                          "cde\xc2\x9b")));
    EXPECT_EQ(run(Q5_cmd_get_fw_version, "ve\n"),
              std::pair(0, std::string("FW Version=v\\x1bcde\\xc2\\x9b\n")));
}

// A device that links but is never recognised is left alone: no parameter record is read, none
// written, no restart; "eth" says why and ends with 255.
TEST_F(Linked, EthTouchesNothingThatWasNotRecognised) {
    connected = 0;
    fake_qxx::st().identified = 0;
    fake_qxx::st().usb_devices = {"USBF/a"};
    Console con;
    std::string arg0 = "nv-term", arg1 = "eth";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    EXPECT_EQ(nv_term_main(2, argv), -1);
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{});
    const std::string why = "The device was not recognised as an NV-52: nothing was sent to it.\n";
    EXPECT_EQ(con.out(),
              "--- ORVANTIS NV-TERM ---\nver:0.10.0\n\n\nConnecting device...Error!\n" + why);
    EXPECT_EQ(con.err(), why);
}

}  // namespace
