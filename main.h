// The program entry's connection handling, shared with the tests.
#pragma once

#include <atomic>

extern std::atomic<int> dev_type;  // device kind the identification reported; 12 is the NV-52

// The instrument's fixed private address offered as network host choice 1.
extern const char* const NV_FIXED_HOST;

// The program's one pause: the network discovery window and the wait between the "eth" mode's
// connection attempts. Tests replace it so they need not wait.
extern void (*nv_sleep_ms)(int ms);

int welcome(void);
int main_loop(void);
int connect_dev(int dialogue);
void disconnect_dev(void);

int QXX_event_connected(int handle, void* ctx, int type_id, int user);
int QXX_event_connection_error(int handle, void* ctx, int user);
int QXX_event_disconnected(int handle, void* ctx, int user);
int QXX_event_device_list_changed(void* arg);
int QXX_event_net_broadcast(const unsigned char* bytes, int count);
