// The time scale: every pause, tone, mutex wait and serial read time-out of the driver is
// multiplied by one factor (KORVA_TIME_SCALE), and the driver's clock runs on it too.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {
namespace {

std::atomic<double> g_scale{0.0};  // 0 = not read from the environment yet

double ReadScaleFromEnvironment() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the driver never changes its environment.
    const char* text = std::getenv("KORVA_TIME_SCALE");
    if (text == nullptr) return 1.0;
    double factor = 1.0;
    if (!ParseTimeScale(text, &factor)) {
        std::fprintf(stderr, "korva: KORVA_TIME_SCALE='%s' is not a positive number; using 1\n",
                     text);
        return 1.0;
    }
    return factor;
}

}  // namespace

bool ParseTimeScale(const char* text, double* factor) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value <= 0.0)
        return false;
    *factor = value;
    return true;
}

double TimeScale() {
    double factor = g_scale.load(std::memory_order_relaxed);
    if (factor > 0.0) return factor;
    factor = ReadScaleFromEnvironment();
    double unset = 0.0;
    // Only the first reader stores; later readers see the same value.
    g_scale.compare_exchange_strong(unset, factor, std::memory_order_relaxed);
    return g_scale.load(std::memory_order_relaxed);
}

void SetTimeScale(double factor) {
    if (std::isfinite(factor) && factor > 0.0) g_scale.store(factor, std::memory_order_relaxed);
}

uint64_t ScaledNs(uint64_t driverMs) {
    long double ns = static_cast<long double>(driverMs) * 1e6L * TimeScale();
    if (ns >= 1.8e19L) return UINT64_MAX;
    return static_cast<uint64_t>(std::ceil(ns));
}

uint64_t ScaledMs(uint64_t driverMs) {
    uint64_t ns = ScaledNs(driverMs);
    return ns / 1000000u + (ns % 1000000u != 0 ? 1 : 0);
}

uint32_t ClockSeconds() {
    long double seconds = static_cast<long double>(MonotonicNs()) / 1e9L / TimeScale();
    return static_cast<uint32_t>(static_cast<uint64_t>(seconds));
}

}  // namespace platform
