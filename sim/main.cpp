// nv52-sim: a simulated NV-52 instrument on loopback. See README.md and --help.
#include <csignal>
#include <cstdio>
#include <string>

#include "sim_options.h"
#include "sim_server.h"
#include "sim_sys.h"

namespace {

sim_server* g_server = nullptr;  // for the signal handler only

void on_signal(int) {
    if (g_server) sim_server_stop(g_server);
}

}  // namespace

int main(int argc, char** argv) {
    sim_options opt;
    std::string error;
    switch (sim_parse_options(argc, argv, &opt, &error)) {
        case SIM_PARSE_HELP:
            sim_print_usage(stdout);
            return 0;
        case SIM_PARSE_ERROR:
            std::fprintf(stderr, "nv52-sim: %s\nTry 'nv52-sim --help'.\n", error.c_str());
            return 2;
        default:
            break;
    }

    sim_server* server = nullptr;
    if (sim_server_open(opt, &server, &error) != 0) {
        std::fprintf(stderr, "nv52-sim: %s\n", error.c_str());
        return 1;
    }
    g_server = server;
    sim_on_stop_signals(on_signal);

    // Tests and scripts read these lines to find the ports: keep their form.
    for (int k = 0; k < sim_server_instruments(server); ++k)
        std::printf("listening tcp %s\n",
                    sim_server_endpoint(server, sim_server_tcp_port(server, k)).c_str());
    std::printf("listening udp %s\n",
                sim_server_endpoint(server, sim_server_udp_port(server)).c_str());
    if (opt.pty) std::printf("pty %s\n", sim_server_pty_path(server));
    std::fflush(stdout);

    int rc = sim_server_run(server);
    g_server = nullptr;
    sim_server_close(server);
    if (rc != 0) {
        std::perror("nv52-sim: poll");
        return 1;
    }
    return 0;
}
