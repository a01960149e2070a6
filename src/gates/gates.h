// The driver's own gates: address grammar (functions 3, 4) and reads and writes (5, 6, 7, 10).
#pragma once

#include <cstdint>

#include "korva/vpi.h"

int32_t Parse(KorvaRequest* request);
int32_t SingleAddressParser(KorvaRequest* request);
int32_t BlockAddressParser(KorvaRequest* request);
int32_t DoRead(KorvaRequest* request);
int32_t SingleRead(KorvaRequest* request);
int32_t BlockRead(KorvaRequest* request);
int32_t SingleWrite(KorvaRequest* request);
int32_t BlockWrite(KorvaRequest* request);
