// SPDX-License-Identifier: MIT
#pragma once

// The local date and time as "YYYY-MM-DD HH:MM:SS" (19 characters) in a new,
// zero-filled 80-byte buffer. The caller owns the buffer and frees it once it
// has printed it. Returns a null pointer when the buffer cannot be allocated
// or the clock cannot be converted to a date with a four-digit year.
// Safe to call from several threads at once: each call gets its own buffer.
char *get_time();
