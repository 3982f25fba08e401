#pragma once

constexpr const char* SPC_VERSION = "1.0.0";
