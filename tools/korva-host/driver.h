// The driver as the host sees it: libkorva.so loaded at run time, its entry point, its gates
// and the functions it exports for client drivers.
#pragma once

#include <cstdint>
#include <string>

#include "korva/korva.h"
#include "korva/vpi.h"

struct Driver {
    int32_t (*vpiMain)(KorvaRequest*) = nullptr;
    int32_t (*connect)(uint16_t, int32_t, uint16_t*) = nullptr;
    int32_t (*disconnect)(uint32_t) = nullptr;
    int32_t (*send)(uint32_t, const void*, int32_t) = nullptr;
    int32_t (*receive)(uint32_t, void*, int32_t, int32_t*) = nullptr;
    int32_t (*timeout)(uint32_t, int32_t) = nullptr;
    int32_t (*flush)(uint32_t) = nullptr;
    unsigned vpi = 3;

    // Loads the library; false with a message in `error`.
    bool Load(const std::string& path, std::string& error);

    int32_t Call(uint32_t function, void* block) const;
    // Defines one of the driver's gates (function 3, or 4 for a block); the result code.
    int32_t Define(KorvaGateDefinition& definition, const std::string& address, bool block,
                   uint32_t blockLength) const;
    // Reads (function 5 or 6) or writes (function 7) a gate the driver accepted.
    int32_t Read(const std::string& address, const KorvaGateDefinition& definition, bool block,
                 KorvaGateValue& value) const;
    int32_t Write(const std::string& address, const KorvaGateDefinition& definition,
                  uint16_t value) const;
};

// The meaning of a status code of the exported functions.
const char* StatusText(int32_t status);
