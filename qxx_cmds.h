// The program-wide connection state, shared by the console thread and the link's I/O thread.
#pragma once

#include <atomic>

extern std::atomic<int> id_conn;    // handle of the open link; -1 until the first connection
extern std::atomic<int> connected;  // 1 while a recognised device is linked
