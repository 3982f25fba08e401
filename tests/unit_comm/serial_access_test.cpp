// What an operator is told when a serial device may not be opened: the device, its group and
// how to join it.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "comm_internal.h"

namespace {

TEST(SerialAccess, PermissionNoteNamesTheDeviceAndItsGroup) {
    char dir_template[] = "/tmp/nv-serial-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string port = dir + "/ttyUSB0";
    FILE* f = std::fopen(port.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);

    // A group with a name other than root's: the one the device belongs to is named.
    group* named = getgrnam("dialout");
    if (named == nullptr) named = getgrgid(getegid() != 0 ? getegid() : 65534);
    char note[COMM_NOTE_SIZE];
    if (named != nullptr && named->gr_gid != 0 && chown(port.c_str(), -1, named->gr_gid) == 0) {
        std::string name = named->gr_name;
        ASSERT_EQ(comm_serial_permission_note(port.c_str(), note, sizeof note), 0);
        EXPECT_EQ(std::string(note), "No permission to open " + port +
                                         " (it belongs to the group " + name +
                                         ").\nAdd your user to that group (sudo usermod -aG " +
                                         name + " $USER) and log in again.\n");
    }
    // Owned by root's group, or gone: the usual group is suggested.
    for (const std::string& path : {std::string("/"), dir + "/gone"}) {
        ASSERT_EQ(comm_serial_permission_note(path.c_str(), note, sizeof note), 0);
        EXPECT_EQ(std::string(note), "No permission to open " + path +
                                         ".\nAsk for read and write access to it (serial ports "
                                         "usually belong to the group dialout).\n");
    }
    // A note that does not fit is not cut.
    EXPECT_EQ(comm_serial_permission_note(port.c_str(), note, 20), -1);
    EXPECT_STREQ(note, "");
    unlink(port.c_str());
    rmdir(dir.c_str());
}

}  // namespace
