#include "driver.h"

#include <dlfcn.h>

namespace {

template <typename Function>
bool Resolve(void* library, const char* name, Function& function, std::string& error) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (function == nullptr) error = std::string("the library has no ") + name;
    return function != nullptr;
}

}  // namespace

bool Driver::Load(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        error = dlerror();
        return false;
    }
    return Resolve(library, "VpiMain", vpiMain, error) &&
           Resolve(library, "KORVA_Connect", connect, error) &&
           Resolve(library, "KORVA_Disconnect", disconnect, error) &&
           Resolve(library, "KORVA_Send", send, error) &&
           Resolve(library, "KORVA_Receive", receive, error) &&
           Resolve(library, "KORVA_Timeout", timeout, error) &&
           Resolve(library, "KORVA_Flush", flush, error);
}

int32_t Driver::Call(uint32_t function, void* block) const {
    KorvaRequest request{};
    request.function = function;
    request.vpi = vpi;
    request.block = block;
    return vpiMain(&request);
}

int32_t Driver::Define(KorvaGateDefinition& definition, const std::string& address, bool block,
                       uint32_t blockLength) const {
    definition = KorvaGateDefinition{};
    definition.address = address.c_str();
    definition.gateType = 6;  // digital
    definition.blockLength = blockLength;
    const int32_t result = Call(block ? KORVA_FN_BLOCK_PARSE : KORVA_FN_SINGLE_PARSE, &definition);
    definition.address = nullptr;  // the string is the caller's; never kept
    return result;
}

int32_t Driver::Read(const std::string& address, const KorvaGateDefinition& definition, bool block,
                     KorvaGateValue& value) const {
    KorvaGateAccess access{};
    access.address = address.c_str();
    access.gateIndex = definition.gateIndex;
    access.gateKind = definition.gateKind;
    access.bitNumber = definition.bitNumber;
    access.single = block ? 0 : 1;
    access.value = &value;
    return Call(block ? KORVA_FN_BLOCK_READ : KORVA_FN_SINGLE_READ, &access);
}

int32_t Driver::Write(const std::string& address, const KorvaGateDefinition& definition,
                      uint16_t value) const {
    KorvaGateValue gateValue{};
    gateValue.single = value;
    KorvaGateAccess access{};
    access.address = address.c_str();
    access.gateIndex = definition.gateIndex;
    access.gateKind = definition.gateKind;
    access.bitNumber = definition.bitNumber;
    access.single = 1;
    access.value = &gateValue;
    return Call(KORVA_FN_SINGLE_WRITE, &access);
}

const char* StatusText(int32_t status) {
    switch (status) {
        case KORVA_STATUS_OK:
            return "done";
        case KORVA_STATUS_NOT_READY:
            return "driver not ready";
        case KORVA_STATUS_NOT_CONNECTED:
            return "connection has no line";
        case KORVA_STATUS_BAD_REFERENCE:
            return "bad connection reference";
        case KORVA_STATUS_STOPPED:
            return "driver stopped";
        case KORVA_STATUS_IO_FAILED:
            return "serial I/O failed";
        case KORVA_STATUS_BAD_DIAL_ENTRY:
            return "bad or undefined dial entry";
        case KORVA_STATUS_NO_MODEM:
            return "no modem free";
        case KORVA_STATUS_NO_CARRIER:
            return "no carrier";
        case KORVA_STATUS_TABLE_FULL:
            return "connection table full";
        default:
            return "unknown status";
    }
}
