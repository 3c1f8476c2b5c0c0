// SPDX-License-Identifier: MIT
#pragma once

// Whether this build runs under ThreadSanitizer or AddressSanitizer. Some
// tests cannot run there: the runtimes need more address space than a limit
// leaves, abort rather than fail an allocation, and cannot run under valgrind.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
