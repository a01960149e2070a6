// Whether the tests run under the thread sanitizer.
#pragma once

// ThreadSanitizer reports two things these tests do on purpose as errors: releasing a mutex that
// a dead process left owner-died, and releasing a mutex from a thread that does not hold it.
// Those tests skip under it.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

inline constexpr const char* kOwnerDiedUnderTsan =
    "the sanitizer flags the release of a mutex taken after its owner died";
inline constexpr const char* kWrongThreadUnlockUnderTsan =
    "the sanitizer flags a release by a thread that does not hold the mutex";

