// Every fault the simulator can inject, seen through nv-term: the whole console output, the
// program still usable afterwards (or telling that the device is gone), exit code 0, no hang.
#include <gtest/gtest.h>

#include "session.h"

namespace {

using namespace session;
using strings = std::vector<std::string>;

const std::string VE_TIMED_OUT = ">" + command_error("Q8_cmd_get_fw_version", 255);
const std::string DISCONNECTED = "\nDevice disconnected!\n";

struct Fault {
    const char* name;
    strings options;
    size_t image;          // bytes of the raw image of the container in the directory
    std::string commands;  // typed at the menu
    // What follows the banner and the network dialogue. A command that fails because the
    // link closed reports after "Device disconnected!" (the library hands the failure back
    // only once the link's close was handled); a fault may still list several right answers.
    strings outputs;
    strings sent;  // the requests after identification, as the simulator answered them
};

// The versions report of a reply that was never copied: six empty fields.
const std::string EMPTY_VERSIONS =
    "\nVersions\nOverall\t\t= \nFile system\t= \nGui\t\t= \nTalvek\t\t= \nGpp\t\t= \n"
    "Kernel\t\t= \n\n";

// A session over a working link: "Ok.", the menu, `body`, then quitting.
std::string linked(const std::string& body, const std::string& end = QUIT_CONNECTED) {
    return "Ok.\n" + e2e::MENU + body + end;
}

// Two "ve" commands, each of which may show the versions or the empty record.
strings either_versions_twice() {
    strings out;
    for (const std::string& a : {VERSIONS, EMPTY_VERSIONS})
        for (const std::string& b : {VERSIONS, EMPTY_VERSIONS})
            out.push_back(linked(">" + a + ">" + b));
    return out;
}

std::vector<Fault> faults(const Sums& small, const Sums& large) {
    const std::string up_small = upload_head("nv52fw.xfw", 8, small);
    const std::string up_large = upload_head("nv52fw.xfw", 100000, large) +
                                 "Erasing external flash....Ok.\nWriting block 1 of 3...Ok.\n" +
                                 "Writing block 2 of 3...";
    const std::string gone = ">" + NOT_CONNECTED;
    const std::string erase_refused =
        up_small + "Erasing external flash...." + command_error("Q5_cmd_upload_xfw", 1);
    return {
        // The probe's reply is the first; the second, to the first "ve", is lost.
        {"dropped reply",
         {"--drop-every", "2"},
         8,
         "ve\nve\nq\n",
         {linked(VE_TIMED_OUT + ">" + VERSIONS)},
         {"8001:-", "8001:0"}},
        {"corrupted header",
         {"--corrupt-header-every", "2"},
         8,
         "ve\nve\nq\n",
         {linked(VE_TIMED_OUT + ">" + VERSIONS)},
         {"8001:0", "8001:0"}},
        {"corrupted payload",
         {"--corrupt-payload-every", "2"},
         8,
         "ve\nve\nq\n",
         {linked(VE_TIMED_OUT + ">" + VERSIONS)},
         {"8001:0", "8001:0"}},
        // A block write whose reply is lost is written again; the retry is silent, and the flash
        // that follows is answered and reported as it should be.
        {"dropped block reply",
         {"--drop-every", "3"},
         8,
         "up\n\nfl\n\nq\n",
         {linked(up_small + "Erasing external flash....Ok.\n" + blocks_ok(1) +
                     flash_head("nv52fw.xfw", small) + DISCONNECTED + ">" + NOT_CONNECTED,
                 "")},
         {"8100:0", "8102:-", "8102:0", "8103:0"}},
        {"slow replies within the time-out",
         {"--delay-ms", "300"},
         8,
         "ve\nq\n",
         {linked(">" + VERSIONS)},
         {"8001:0"}},
        {"replies later than the time-out",
         {"--delay-ms", "1200"},
         8,
         "ve\nq\n",
         {linked(VE_TIMED_OUT)},
         {}},
        // A status reply makes the transaction ask again. Whether the real reply or another
        // status reply is the first frame an attempt sees depends on how the bytes arrive:
        // either the versions come through, or all three attempts see a status reply first and
        // the command succeeds with an empty record. Never an error, never a hang.
        {"one status reply first",
         {"--status-replies", "1"},
         8,
         "ve\nve\nq\n",
         either_versions_twice(),
         {}},
        {"two status replies first",
         {"--status-replies", "2"},
         8,
         "ve\nve\nq\n",
         either_versions_twice(),
         {}},
        {"general error reply",
         {"--error-reply", "8001"},
         8,
         "ve\nq\n",
         {linked(">" + command_error("Q8_cmd_get_fw_version", 1))},
         {"8001:1"}},
        {"erase answered with the general error reply",
         {"--error-reply", "8100"},
         8,
         "up\n\nve\nq\n",
         {linked(erase_refused + ">" + VERSIONS)},
         {"8100:1", "8001:0"}},
        {"failing status",
         {"--fail-code", "8001:7"},
         8,
         "ve\nq\n",
         {linked(">" + command_error("Q8_cmd_get_fw_version", 1))},
         {"8001:7"}},
        {"erase failing",
         {"--fail-code", "8100:4"},
         8,
         "up\n\nve\nq\n",
         {linked(erase_refused + ">" + VERSIONS)},
         {"8100:4", "8001:0"}},
        {"link closed mid-command",
         {"--close-after", "2"},
         8,
         "ve\nve\nq\n",
         {linked(">" + DISCONNECTED + VE_TIMED_OUT.substr(1) + gone, QUIT_UNLINKED)},
         {"8001:-"}},
        // The link dies on the second block: its attempts fail at once and the upload stops.
        {"link closed mid-upload",
         {"--close-after", "4"},
         100000,
         "up\n\nve\nq\n",
         {linked(up_large + DISCONNECTED + "Error!\n" + gone, QUIT_UNLINKED)},
         {"8100:0", "8102:0", "8102:-"}},
        // Never recognised: no menu; the link is closed at the end.
        {"identification refused",
         {"--refuse-identify"},
         8,
         "ve\nq\n",
         {"Error!\n\nFound device:   Undefined\n\n" + NOT_CONNECTED + DISCONNECTED},
         {}},
        {"frames in small pieces",
         {"--split"},
         100000,
         "ve\nup\n\nfl\n\nq\n",
         {linked(">" + VERSIONS + upload_head("nv52fw.xfw", 100000, large) +
                     "Erasing external flash....Ok.\n" + blocks_ok(3) +
                     flash_head("nv52fw.xfw", large) + DISCONNECTED + ">" + NOT_CONNECTED,
                 "")},
         {"8001:0", "8100:0", "8102:0", "8102:0", "8102:0", "8103:0"}},
    };
}

TEST(Faults, EachInjectedFaultThroughTheConsole) {
    const Sums small = sums_of(raw_image(8)), large = sums_of(raw_image(100000));
    for (const Fault& f : faults(small, large)) {
        SCOPED_TRACE(f.name);
        Bench b;
        ASSERT_TRUE(b.start(f.options));
        make_container(b, raw_image(f.image), "nv52fw.xfw");
        proc::Result r = b.run(f.commands);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        const std::string start = e2e::BANNER + e2e::NET_DIALOGUE;
        bool matched = false;
        for (const std::string& want : f.outputs) matched = matched || r.output == start + want;
        EXPECT_TRUE(matched) << "output:\n" << r.output << "\nexpected:\n" << start + f.outputs[0];
        if (!f.sent.empty()) {
            EXPECT_EQ(after_probes(b.requests()), f.sent);
        }
    }
}

}  // namespace
