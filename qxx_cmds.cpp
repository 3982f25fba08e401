#include "qxx_cmds.h"

std::atomic<int> id_conn{-1};
std::atomic<int> connected{0};
