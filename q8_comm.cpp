#include "q8_comm.h"
