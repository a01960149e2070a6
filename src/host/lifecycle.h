// Cold start, port initialisation and the parameter change.
#pragma once

#include <cstdint>

#include "korva/vpi.h"

int32_t ColdStart(KorvaRequest* request);
int32_t ChangeVpiParams(KorvaRequest* request);
void InitPortsAndModems();
