// The VPI functions the host reaches through VpiMain's table.
#pragma once

#include <cstdint>

#include "korva/vpi.h"

using VpiFunction = int32_t (*)(KorvaRequest* request);

int32_t WarmStart(KorvaRequest* request);
int32_t EndVpi(KorvaRequest* request);
int32_t CloseCom(KorvaRequest* request);
int32_t ReOpenCom(KorvaRequest* request);
int32_t GetVpiInfo(KorvaRequest* request);

// The banner that GetVpiInfo hands out: 222 bytes in code page 437 and its terminating NUL.
const char* VpiBanner();
