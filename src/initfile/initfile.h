// The initialisation file: finding it and reading it into the settings and tables.
#pragma once

#include <cstdint>
#include <cstdio>

#include "korva/vpi.h"

// Tries "<base><vpi %02u>.INT", "<base><vpi %01u>.INT" and "<base>.INT" in the current
// directory; the open file or nullptr. `name` (at least 64 bytes) holds the last name tried.
std::FILE* OpenInitFile(const char* base, char* name, uint32_t vpi);
// Reads the file for the request's VPI number into Settings and the tables.
void ReadInitFile(const KorvaRequest* request);
