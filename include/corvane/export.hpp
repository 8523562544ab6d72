#pragma once

// The library is built with hidden symbol visibility; CORVANE_API marks what it exports.
#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_API __attribute__((visibility("default")))
#else
#define CORVANE_API
#endif
