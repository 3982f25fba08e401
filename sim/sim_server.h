// The simulator's server: a bench of instruments (one by default), each with a TCP listener of
// its own, one UDP discovery socket that announces them all, and optionally a pseudo-terminal
// (the first instrument's), served by one thread in a poll loop. Each instrument serves one link
// at a time: a TCP connection, or the pseudo-terminal while a peer has it open and talks on it;
// the next TCP connection waits in the listen queue until the current link ends.
//
// Threads: sim_server_run runs the loop on the calling thread; sim_server_stop may be called
// from any thread or from a signal handler. The other functions belong to the thread that
// opened the server and must not run while sim_server_run does (the ports and the pty path may
// be read at any time after opening).
#pragma once

#include <string>

#include "sim_options.h"

struct sim_server;

// Binds the sockets, creates the pseudo-terminal (with opt.pty) and powers the instrument on.
// Returns 0 and the server, or -1 with `error` telling which step failed.
int sim_server_open(const sim_options& opt, sim_server** out, std::string* error);

// The number of instruments; the TCP port (useful after --port 0) and serial number of
// instrument `index` (from 0); the UDP port and the pseudo-terminal's path ("" without one).
int sim_server_instruments(const sim_server* s);
int sim_server_tcp_port(const sim_server* s, int index = 0);
std::string sim_server_serial(const sim_server* s, int index);
int sim_server_udp_port(const sim_server* s);
const char* sim_server_pty_path(const sim_server* s);
// "ADDR:PORT", with brackets around an IPv6 address.
std::string sim_server_endpoint(const sim_server* s, int port);

// Serves until sim_server_stop. Returns 0, or -1 when polling itself failed.
int sim_server_run(sim_server* s);
// Asks the loop to end; async-signal-safe.
void sim_server_stop(sim_server* s);
// Closes every socket and the pseudo-terminal and frees the server.
void sim_server_close(sim_server* s);
