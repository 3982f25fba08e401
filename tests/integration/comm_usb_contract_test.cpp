// What every USB transport promises, on a fake bus with one face (libusb on Linux, WinUSB on
// Windows), then what only one of them has. Places are written as each system shows them
// (entry_of, words_of).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm_internal.h"
#include "comm_links.h"
#include "error_log.h"
#ifdef _WIN32
#include "usb_win_fake.h"
#else
#include "usb_fake.h"
#endif

#if NV_HAVE_LIBUSB || NV_HAVE_WINUSB

namespace {

using usb_fake::at;
using usb_fake::Back;
using usb_fake::Bench;
using usb_fake::Device;
using usb_fake::entry_of;
using usb_fake::Refusal;
using usb_fake::words_of;

// The entry as a connection string naming interface `arg` (-1: the entry itself).
std::string usb_string(const Device* d, int arg = -1) {
    char conn[COMM_CONN_STRING_SIZE];
    return arg < 0 ? entry_of(*d)
           : comm_make_conn_string_usb(conn, entry_of(*d).c_str(), arg, d->vendor, d->product) == 0
               ? conn
               : "";
}

TEST(UsbContract, TheListingTakesTheRangesInPlaceOrder) {
    Bench b;
    Device* two = b.add(2, {1});
    Device* last = b.add(1, {10}, 0x0C4D);
    Device* four = b.add(1, {4});
    Device* three = b.add(1, {3});
    Device* behind_hub = b.add(3, {1, 2}, 0x0C45);
    b.add(1, {5}, 0x0C43);          // below the products
    b.add(1, {6}, 0x0C4E);          // above them
    b.add(1, {7}, 0x0C44, 0x1780);  // another maker
    b.add(1, {8}, 0x0C44, 0x1782);
    std::vector<std::string> all;
    for (const Device* d : {three, four, last, two, behind_hub}) all.push_back(entry_of(*d));
    EXPECT_EQ(usb_listing(), all);
    EXPECT_EQ(usb_listing(2), std::vector<std::string>(all.begin(), all.begin() + 2));
    EXPECT_EQ(usb_listing(0), std::vector<std::string>{});
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, nullptr, 0, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              0);
    EXPECT_EQ(count, 0);
    comm_dev_entry list[4];
    EXPECT_EQ(comm_list_devices_usb(0, list, 4, nullptr, nullptr, nullptr, 0x1781, 0x1781, 0x0C44,
                                    0x0C44),
              0);  // no count wanted
    EXPECT_EQ(comm_list_devices_usb(0, list, -1, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_list_devices_usb(0, nullptr, 1, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              -1);
    for (const std::string& e : all) {  // every entry is a connection string of its own
        comm_usb_params p;
        EXPECT_EQ(comm_usb_parse(e.c_str(), &p), 1) << e;
    }
}

TEST(UsbContract, NamesFilterTheListingAndShowInTheDisplayText) {
    Bench b;
    Device* one = b.add(1, {4});
    Device* two = b.add(1, {5}, 0x0C4D);
    Device* plain = b.add(1, {6});
    Device* odd = b.add(2, {1});
    b.names(one, "Maker", "NV-52", "A0001");
    b.names(two, "Maker", "NV-52 Q8", "B0002  ");
    b.names(odd, "Other", "NV\t52\x7f", std::string(100, 's'));
    EXPECT_EQ(usb_listing(16, "Maker", ""),
              (std::vector<std::string>{entry_of(*one), entry_of(*two)}));
    EXPECT_EQ(usb_listing(16, "", "NV-52"), std::vector<std::string>{entry_of(*one)});
    EXPECT_EQ(usb_listing(16, "Maker", "NV-52 Q8"), std::vector<std::string>{entry_of(*two)});
    EXPECT_EQ(usb_listing(16, "Nobody", ""), std::vector<std::string>{});
    EXPECT_EQ(usb_listing(16, nullptr, nullptr).size(), 4u);

    const Device elsewhere = at(1, {9}), other_product = at(1, {4}, 0x0C45);
    const struct {
        std::string entry, text;
    } cases[] = {
        {entry_of(*one), "USB " + words_of(*one) + " NV-52, serial A0001"},
        {usb_string(two, 0), "USB " + words_of(*two) + " NV-52 Q8, serial B0002"},
        {entry_of(*plain), "USB " + words_of(*plain)},
        {entry_of(*odd), "USB " + words_of(*odd) + " NV?52?, serial " + std::string(64, 's')},
        {entry_of(other_product), "USB " + words_of(other_product)},  // not that device
        {entry_of(elsewhere), "USB " + words_of(elsewhere)},          // not there
    };
    char text[COMM_DEVID_SIZE];
    for (const auto& c : cases) {
        ASSERT_EQ(comm_get_devid_string(c.entry.c_str(), text), 0) << c.entry;
        EXPECT_EQ(text, c.text);
    }
}

// Bytes both ways, in reads of whole packets no larger than the link's read size; a transfer of
// one byte and one of 1000 split into many, joined again in order; writes that fill whole
// packets end with a zero-length one.
TEST(UsbContract, ALinkCarriesBytesBothWaysSplitAndJoined) {
    Bench b;
    CommRunning running;
    Device* dev = b.add(1, {4});
    const struct {
        int arg, rx_size, in_size;
    } cases[] = {{-1, 4096, 4096}, {1, 100, 64}, {1, 10, 64}, {-1, 200, 192}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.arg) + " " + std::to_string(c.rx_size));
        b.records(true);
        Link link;
        ASSERT_TRUE(link.opened(usb_string(dev, c.arg), c.rx_size));
        const std::string from = varied(1000, 13, 16);
        b.send(dev, "1");
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, 1));
        b.send(dev, from);
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, 1 + from.size()));
        EXPECT_TRUE(link.data() == "1" + from);
        for (const auto& e : link.ev.events(link.handle))
            EXPECT_LE(e.bytes.size(), static_cast<size_t>(c.in_size));
        const std::string before = b.received(dev);
        std::string to(128, 'o');  // a multiple of the packet size
        Stopwatch clock;           // each write returns as soon as the device took it
        ASSERT_EQ(comm_write(link.handle, to.data(), static_cast<int>(to.size()), 0, 20000), 0);
        ASSERT_EQ(comm_write(link.handle, "end", 3, 0, 20000), 0);
        EXPECT_LT(clock.ms(), 10000);
        EXPECT_EQ(b.received(dev, before.size() + 131).substr(before.size()), to + "end");
        ASSERT_EQ(link.disconnect(), 0);
        const Bench::Records r = b.records();
        ASSERT_GE(r.read_sizes.size(), 2u);
        for (int n : r.read_sizes) EXPECT_EQ(n, c.in_size);
        EXPECT_EQ(r.zero_packets, (std::vector<bool>{true, true}));
        EXPECT_EQ(r.pipes, (std::set<int>{0x81, 0x02}));
    }
}

TEST(UsbContract, RefusedOpensTellTheOperatorWhatToDo) {
    const std::string in_use = " is in use by another program; close it and try again.\n";
    const std::string gone =
        " any more: it was unplugged or moved to another port; list the "
        "devices again.\n";
    const Device here = at(1, {4}), elsewhere = at(1, {9}), other_product = at(1, {4}, 0x0C45);
    const struct {
        const char* what;
        std::string conn;
        Refusal refusal;
        std::string note;
    } cases[] = {
        {"in use", entry_of(here), Refusal::in_use, "The USB device at " + words_of(here) + in_use},
        {"gone while opening", entry_of(here), Refusal::gone,
         "No instrument at " + words_of(here) + gone},
        {"unplugged", entry_of(elsewhere), Refusal::none,
         "No instrument at " + words_of(elsewhere) + gone},
        {"another product there", entry_of(other_product), Refusal::none,
         "No instrument at " + words_of(other_product) + gone},
        {"no bulk interface", usb_string(&here, 0), Refusal::none, ""},
        {"no such interface", usb_string(&here, 2), Refusal::none, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench b;
        b.add(here);
        b.set([&](Bench& k) { k.refusal = c.refusal; });
        CommRunning running;
        EXPECT_EQ(refused_note(c.conn), c.note);
    }
}

TEST(UsbContract, ReadsThatComeBackBadly) {
    const struct {
        const char* what;
        Back how;
        bool link_lives;
        const char* halts;  // cleared
    } cases[] = {
        {"timed out", Back::timed_out, true, ""},
        {"halted", Back::halted, true, "halt 81,halt 81"},
        {"halted for good", Back::halted_for_good, false, "halt 81"},
        {"unplugged", Back::unplugged, false, ""},
        {"error", Back::error, false, ""},
        {"overflowed", Back::overflowed, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench b;
        Device* dev = b.add(1, {4});
        CommRunning running;
        Link link;
        ASSERT_TRUE(link.opened(entry_of(*dev)));
        b.set([&](Bench& k) { k.spoil = c.how, k.spoil_left = 2; });  // both reads in flight
        for (int i = 1; i <= 2 && (i == 1 || c.link_lives); ++i) {
            b.send(dev, "lost");
            ASSERT_TRUE(b.wait([&](Bench& k) { return k.spoiled >= i; }));
        }
        if (c.link_lives) {
            b.send(dev, "after");
            ASSERT_TRUE(link.ev.wait_bytes(link.handle, 5));
            EXPECT_EQ(link.data(), "after");
            EXPECT_EQ(link.kinds(), (kinds{O, D}));
        } else {
            ASSERT_TRUE(link.wait(C));
            EXPECT_EQ(link.kinds(), (kinds{O, E, C}));
            EXPECT_NE(comm_write(link.handle, "x", 1, 0, 1000), 0);
            link.handle = 0;
        }
        EXPECT_EQ(b.calls("halt"), c.halts);
    }
}

TEST(UsbContract, ReadsThatCannotGoOutEndTheLink) {
    for (int later : {0, 1}) {
        SCOPED_TRACE(later ? "after the open" : "at the open");
        Bench b;
        Device* dev = b.add(1, {4});
        CommRunning running;
        Link link;
        if (!later) b.set([](Bench& k) { k.reads_left = 1; });
        ASSERT_TRUE(link.connect(entry_of(*dev)));
        if (later) {
            ASSERT_TRUE(link.wait(O));
            b.set([](Bench& k) { k.reads_left = 0; });
            b.send(dev, "last");
        }
        ASSERT_TRUE(link.wait(C));
        EXPECT_EQ(link.kinds(), later ? (kinds{O, D, E, C}) : (kinds{E, C}));
        link.handle = 0;
    }
}

// An event procedure may answer at once, from the I/O thread.
TEST(UsbContract, TheEventProcedureWritesAtOnce) {
    Bench b;
    Device* dev = b.add(1, {4});
    CommRunning running;
    Link link;
    std::atomic<int> results{0};
    link.ev.hook = [&](int h, int kind, const unsigned char* bytes, int count) {
        if (kind != D) return 0;
        std::string reply = "re:" + std::string(reinterpret_cast<const char*>(bytes), count);
        results += comm_write(h, reply.data(), static_cast<int>(reply.size()), 0, 5000) == 0;
        return 0;
    };
    ASSERT_TRUE(link.opened(entry_of(*dev)));
    b.send(dev, "one");
    EXPECT_EQ(b.received(dev, 6), "re:one");
    b.send(dev, "two");
    EXPECT_EQ(b.received(dev, 12), "re:onere:two");
    ASSERT_EQ(link.disconnect(), 0);  // every event call has returned
    EXPECT_EQ(results.load(), 2);
}

// A write the device does not take fails at its time limit and leaves the link open (one it took
// part of goes on); one that cannot go out fails at once; a halted pipe is cleared; one cut by the
// close returns at once.
TEST(UsbContract, WritesTheDeviceDoesNotTake) {
    Bench b;
    Device* dev = b.add(1, {4});
    CommRunning running;
    Link link;
    ASSERT_TRUE(link.opened(entry_of(*dev)));
    b.set([](Bench& k) { k.hold_writes = true; });
    Stopwatch clock;
    EXPECT_EQ(comm_write(link.handle, "abc", 3, 0, 80), -1);
    EXPECT_GE(clock.ms(), 80);
    EXPECT_LT(clock.ms(), 800);  // at its limit, not later
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);
    b.set([](Bench& k) { k.hold_writes = false; });
    ASSERT_EQ(comm_write(link.handle, "def", 3, 0, 5000), 0);
    EXPECT_EQ(b.received(dev, 3), "def");

    b.set([](Bench& k) { k.write_refused = true; });
    EXPECT_EQ(comm_write(link.handle, "xyz", 3, 0, 5000), -1);
    b.set([](Bench& k) { k.write_refused = false; });
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);

    b.set([](Bench& k) { k.write_halted = true; });
    EXPECT_EQ(comm_write(link.handle, "ghi", 3, 0, 5000), -1);
    EXPECT_EQ(b.calls("halt"), "halt 02");
    b.set([](Bench& k) { k.write_halted = false; });
    ASSERT_EQ(comm_write(link.handle, "jkl", 3, 0, 5000), 0);
    EXPECT_EQ(b.received(dev, 9), "defghijkl");  // the fake bus took it before the halt

    // Part taken before a stall past the limit is progress: the rest goes once it takes again.
    b.set([](Bench& k) { k.hold_writes = true, k.taken_before_stall = 2; });
    EXPECT_EQ(comm_write(link.handle, "pqrs", 4, 0, 80), 0);
    EXPECT_EQ(b.received(dev, 13), "defghijklpqrs");

    b.set([](Bench& k) { k.hold_writes = true; });
    std::atomic<int> result{99};
    Stopwatch cut;
    std::thread writer([&] { result = comm_write(link.handle, "mno", 3, 0, 20000); });
    ASSERT_TRUE(b.wait_write_held());
    ASSERT_EQ(comm_disconnect(link.handle), 0);
    writer.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_LT(cut.ms(), 10000);
    link.handle = 0;
}

int on_change(void* arg) {
    static_cast<Counter*>(arg)->add();
    return 0;
}

// Pulled out mid-upload (a write the device had not taken) and mid-assay (reads in flight): the
// write fails, the link ends with ERROR and CLOSED, the listing no longer shows it, and the
// device-list callback hears of it, as of its arrival, until it is deregistered.
TEST(UsbContract, ADevicePulledOutInTheMiddle) {
    for (bool writing : {true, false}) {
        SCOPED_TRACE(writing ? "mid-upload" : "mid-assay");
        Bench b;
        CommRunning running;
        Counter changes;
        ASSERT_EQ(comm_usb_register(on_change, &changes), 0);
        Device* dev = b.add(1, {4});
        ASSERT_TRUE(changes.wait(1));
        ASSERT_EQ(usb_listing(), std::vector<std::string>{entry_of(*dev)});
        Link link;
        ASSERT_TRUE(link.opened(entry_of(*dev)));
        b.send(dev, "spectrum");
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, 8));
        std::atomic<int> result{99};
        std::thread writer;
        if (writing) {
            b.set([](Bench& k) { k.hold_writes = true; });
            writer = std::thread([&] { result = comm_write(link.handle, "block", 5, 0, 20000); });
            ASSERT_TRUE(b.wait_write_held());
        }
        const int before = changes.value();
        b.unplug(dev);
        ASSERT_TRUE(link.wait(C));
        if (writer.joinable()) writer.join();
        EXPECT_EQ(link.kinds(), (kinds{O, D, E, C}));
        if (writing) {
            EXPECT_EQ(result.load(), -1);
        }
        link.handle = 0;
        EXPECT_EQ(usb_listing(), std::vector<std::string>{});
        EXPECT_TRUE(changes.wait(before + 1));
        ASSERT_EQ(comm_usb_deregister(), 0);
        const int after = changes.value();
        b.add(1, {5});
        EXPECT_EQ(changes.value(), after);
    }
}

#if NV_HAVE_LIBUSB
// A device on a root hub itself is listed by its bus alone; one that cannot be opened, or
// refuses its strings, shows no names and is not matched by a name.
TEST(UsbContract, LibusbPlacesAndNames) {
    Bench b;
    b.add(3, {});
    Device* one = b.add(1, {4, 2});
    b.names(one, "Maker", "NV-52", "A0001");
    EXPECT_EQ(usb_listing(),
              (std::vector<std::string>{"USBS:1-4.2:1781/0c44", "USBS:3:1781/0c44"}));
    char text[COMM_DEVID_SIZE];
    ASSERT_EQ(comm_get_devid_string("USBS:3:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 3 (1781:0c44)");
    b.set([](Bench& k) { k.errors.open = LIBUSB_ERROR_ACCESS; });
    ASSERT_EQ(comm_get_devid_string("USBS:1-4.2:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 1 port 4.2 (1781:0c44)");
    EXPECT_EQ(usb_listing(16, "Maker", ""), std::vector<std::string>{});
    b.set([](Bench& k) { k.errors.open = 0; });
    b.names(one, "refused", "refused", "refused");
    ASSERT_EQ(comm_get_devid_string("USBS:1-4.2:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 1 port 4.2 (1781:0c44)");
}

// The kernel driver is detached and given back; libusb's own refusals give the operator's note
// and claim nothing; the listing fails with the bus's list; without USB nothing is listed.
TEST(UsbContract, LibusbKernelDriverAndRefusals) {
    const std::string no_permission =
        "No permission to use the USB device at bus 1 port 4.2 (1781:0c44).\nThe program's "
        "advice.\n";
    comm_usb_set_access_advice("The program's advice.\n");
    const struct {
        const char* what;
        bool driver;
        int query, init, list, open, detach;
        const char* calls;  // "": refused, with `note`
        std::string note;
    } cases[] = {
        {"driver bound", true, -99, 0, 0, 0, 0, "active 1,detach 1,claim 1,release 1,attach 1", ""},
        {"no driver", false, -99, 0, 0, 0, 0, "active 1,claim 1,release 1", ""},
        {"query not supported", false, LIBUSB_ERROR_NOT_SUPPORTED, 0, 0, 0, 0,
         "active 1,claim 1,release 1", ""},
        {"query fails", false, LIBUSB_ERROR_IO, 0, 0, 0, 0, "active 1,claim 1,release 1", ""},
        {"driver gone meanwhile", false, 1, 0, 0, 0, LIBUSB_ERROR_NOT_FOUND,
         "active 1,detach 1,claim 1,release 1", ""},
        {"no permission", true, -99, 0, 0, LIBUSB_ERROR_ACCESS, 0, "", no_permission},
        {"driver not detached", true, -99, 0, 0, 0, LIBUSB_ERROR_ACCESS, "", no_permission},
        {"no USB", true, -99, LIBUSB_ERROR_OTHER, 0, 0, 0, "", ""},
        {"no list", true, -99, 0, LIBUSB_ERROR_NO_MEM, 0, 0, "", ""},
        {"other open failure", true, -99, 0, 0, LIBUSB_ERROR_IO, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench b;
        b.add(1, {4, 2})->kernel_driver = c.driver;
        b.set([&](Bench& k) { k.errors = {c.query, c.init, c.list, c.open, c.detach}; });
        comm_dev_entry list[4];
        int count = -1;
        EXPECT_EQ(comm_list_devices_usb(0, list, 4, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
                  c.list ? -1 : 0);
        EXPECT_EQ(count, c.init || c.list ? 0 : 1);
        CommRunning running;
        if (*c.calls == '\0') {
            EXPECT_EQ(refused_note("USBS:1-4.2:1781/0c44"), c.note);
            EXPECT_EQ(b.calls("release"), "");  // nothing was claimed
            continue;
        }
        Link link;
        ASSERT_TRUE(link.opened("USBS:1-4.2:1781/0c44"));
        ASSERT_EQ(comm_write(link.handle, "x", 1, 0, 5000), 0);
        ASSERT_EQ(link.disconnect(), 0);
        EXPECT_EQ(b.calls(), c.calls);
    }
    comm_usb_set_access_advice(nullptr);
}

// libusb's own deadline wakes the I/O thread when no descriptor does.
TEST(UsbContract, LibusbsTimerIsKept) {
    Bench b;
    Device* dev = b.add(1, {4, 2});
    CommRunning running;
    Link link;
    ASSERT_TRUE(link.opened("USBS:1-4.2:1781/0c44"));
    b.set([&](Bench& k) {
        k.timer_ctx = k.last_ctx;
        k.timer_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
        k.timer_device = dev;
        k.timer_data = "timed";
        Bench::kick(k.timer_ctx);  // as libusb does for a new timer
    });
    ASSERT_TRUE(link.ev.wait_bytes(link.handle, 5));
    EXPECT_EQ(link.data(), "timed");
}

// The callback runs on the I/O thread, until it is deregistered or replaced.
TEST(UsbContract, LibusbHotPlugCallsBackOncePerRound) {
    Bench b;
    CommRunning running;
    Counter first, second;
    ASSERT_EQ(comm_usb_register(on_change, &first), 0);
    b.plug_round(3);
    ASSERT_TRUE(first.wait(1));
    b.plug_round(1);
    ASSERT_TRUE(first.wait(2));
    // A round that libusb finds at its own deadline, with no descriptor ready.
    b.set([](Bench& k) {
        k.plug_changes = 1;
        k.timer_ctx = k.plug_ctx;
        k.timer_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
        Bench::kick(k.timer_ctx);
    });
    ASSERT_TRUE(first.wait(3));
    // Nor is libusb called while its deadline is still ahead.
    b.set([](Bench& k) { k.plug_next_us = 5000; });
    ASSERT_TRUE(b.wait([](Bench& k) { return k.next_asks >= 6; }));
    b.set([](Bench& k) { k.plug_next_us = -1; });
    EXPECT_EQ(b.get([](Bench& k) { return k.idle_handles; }), 0);
    // A second registration replaces the first.
    ASSERT_EQ(comm_usb_register(on_change, &second), 0);
    b.plug_round(1);
    ASSERT_TRUE(second.wait(1));
    EXPECT_EQ(first.value(), 3);
    ASSERT_EQ(comm_usb_deregister(), 0);
    EXPECT_EQ(b.calls(), "hotplug off,hotplug off");
    EXPECT_EQ(second.value(), 1);
    // Without hot-plug on the platform, or with no callback, nothing is registered.
    b.set([](Bench& k) { k.hotplug_capable = false; });
    EXPECT_EQ(comm_usb_register(on_change, &first), 0);
    b.set([](Bench& k) { k.hotplug_capable = true; });
    EXPECT_EQ(comm_usb_register(nullptr, nullptr), 0);
    EXPECT_EQ(b.calls(), "hotplug off,hotplug off");
    b.set([](Bench& k) { k.hotplug_error = LIBUSB_ERROR_NOT_SUPPORTED; });
    EXPECT_EQ(comm_usb_register(on_change, &first), -1);
    b.set([](Bench& k) {
        k.hotplug_error = 0;
        k.errors.init = LIBUSB_ERROR_ACCESS;
    });
    EXPECT_EQ(comm_usb_register(on_change, &first), 0);  // no USB: nothing will change
    EXPECT_EQ(comm_usb_deregister(), 0);
}

#endif  // NV_HAVE_LIBUSB

#if NV_HAVE_WINUSB
// Found through the interface class of our INF or those the device names (its firmware's, several
// or one), a composite device's function too (named as its device), and opened there; through the
// generic one only without a class. Another driver's device, or function, is refused with advice.
TEST(UsbContract, WinusbDevicesThroughTheirOwnInterfaces) {
    const std::string ours = "{A57E82B0-6334-473C-A5F5-7F197C11CCCB}",
                      makers = "{6B1D2C3A-0E7F-4A51-9C2D-3E4F5A6B7C8D}",
                      another = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";
    const struct {
        bool composite, winusb;
        std::vector<std::string> guids;
        bool several;
    } cases[] = {
        {false, true, {ours}, true},    {false, true, {makers}, true},
        {false, true, {makers}, false}, {false, true, {}, true},
        {true, true, {ours}, true},     {true, true, {another, makers}, true},
        {true, true, {makers}, false},  {false, false, {ours}, true},
        {true, false, {ours}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Bench b;
        Device d = at(1, {4});
        d.composite = c.composite, d.winusb = c.winusb, d.interface_guids = c.guids;
        Device* dev = (d.several = c.several, b.add(d));
        b.names(dev, "Maker", "NV-52", "A0001");
        ASSERT_EQ(usb_listing(16, "Maker", "NV-52"), std::vector<std::string>{entry_of(*dev)});
        CommRunning running;
        comm_usb_set_access_advice("Advice.\n");
        for (const std::string& conn : {entry_of(*dev), usb_string(dev, 1)}) {
            if (!c.winusb) {
                EXPECT_EQ(refused_note(conn), "The USB device at " + words_of(*dev) +
                                                  " is not bound to WinUSB, so it cannot be "
                                                  "used.\nAdvice.\n");
                continue;
            }
            Link link;
            ASSERT_TRUE(link.opened(conn)) << conn;
            b.send(dev, "ping");
            ASSERT_TRUE(link.ev.wait_bytes(link.handle, 4));
            ASSERT_EQ(comm_write(link.handle, "pong", 4, 0, 5000), 0);
            ASSERT_EQ(link.disconnect(), 0);
        }
        comm_usb_set_access_advice(nullptr);
        EXPECT_EQ(b.received(dev, c.winusb ? 8 : 0), c.winusb ? "pongpong" : "");
        EXPECT_EQ(b.records().pipes, (c.winusb ? std::set<int>{0x81, 0x02} : std::set<int>{}));
    }
}

// Pulled out while the link closes: no abort reaches it, the reads end with the removal while the
// close waits for them, and it returns (a system wait that took their completion would hang it).
TEST(UsbContract, WinusbACloseDuringARemovalReturns) {
    for (bool composite : {false, true}) {
        SCOPED_TRACE(composite);
        Bench b;
        Device d = at(1, {4});
        d.composite = composite;
        Device* dev = b.add(d);
        CommRunning running;
        Link link;
        ASSERT_TRUE(link.opened(entry_of(*dev)));
        b.set([](Bench& k) { k.removing = true; });
        std::thread closer([&] { EXPECT_EQ(comm_disconnect(link.handle), 0); });
        EXPECT_TRUE(b.wait([](Bench& k) { return k.blocking_waits > 0; }));
        b.unplug(dev);
        closer.join();  // the fake fails a wait that would never end, after 5 s
        link.handle = 0;
    }
}
#endif  // NV_HAVE_WINUSB

}  // namespace

#else

TEST(UsbContract, NotBuilt) {
    GTEST_SKIP() << "built without a USB library";
}

#endif  // NV_HAVE_LIBUSB || NV_HAVE_WINUSB
