#include "q5_comm.h"
