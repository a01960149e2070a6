// GetVpiInfo and the banner it hands to the host.
#include <array>
#include <cstddef>

#include "host/state.h"
#include "host/vpi.h"
#include "korva/zunpro.h"

namespace {

constexpr char kFamily[] = "Ruzov Ezora";
constexpr char kMiddleText[] =
    " KORVA:    Ruzov  Ezora  VPI  loaded  . . .            (32-bit driver) ";
constexpr std::size_t kWidth = 71;  // inside the frame
static_assert(sizeof kMiddleText - 1 == kWidth);

// Code page 437 double-line frame.
constexpr char kUpperLeft = '\xC9', kUpperRight = '\xBB', kLowerLeft = '\xC8', kLowerRight = '\xBC',
               kHorizontal = '\xCD', kVertical = '\xBA';

constexpr std::array<char, 223> MakeBanner() {
    std::array<char, 223> banner{};
    std::size_t at = 0;
    banner[at++] = '\b';
    banner[at++] = kUpperLeft;
    for (std::size_t i = 0; i < kWidth; ++i)
        banner[at++] = kHorizontal;
    banner[at++] = kUpperRight;
    banner[at++] = '\n';
    banner[at++] = kVertical;
    for (std::size_t i = 0; i < kWidth; ++i)
        banner[at++] = kMiddleText[i];
    banner[at++] = kVertical;
    banner[at++] = '\n';
    banner[at++] = kLowerLeft;
    for (std::size_t i = 0; i < kWidth; ++i)
        banner[at++] = kHorizontal;
    banner[at++] = kLowerRight;
    banner[at] = '\0';
    return banner;
}

constexpr std::array<char, 223> kBanner = MakeBanner();
static_assert(kBanner[221] == kLowerRight && kBanner[222] == '\0');

}  // namespace

const char* VpiBanner() {
    return kBanner.data();
}

int32_t GetVpiInfo(KorvaRequest* request) {
    auto* info = static_cast<KorvaVpiInfo*>(request->block);
    info->version = 70;
    info->family = kFamily;
    info->banner = kBanner.data();
    info->word12 = 1;
    info->word16 = 1;
    info->word28 = 1;
    err(kGateLog, "KORVA> GetVpiInfo() exited");
    return 0;
}
