// No speaker is reachable on the machines the driver runs on under POSIX, so a tone is a pause of
// its length.
#include "platform/platform.h"

namespace platform {

void PlayTone(uint32_t /*hz*/, uint32_t ms) {
    SleepMs(ms);
}

}  // namespace platform
