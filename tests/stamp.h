// SPDX-License-Identifier: MIT
#pragma once

// The time stamp that pairtick, parent and child print: "YYYY-MM-DD
// HH:MM:SS", 19 characters, every field zero-padded. The one place the tests
// know its shape and read it.

#include <cctype>
#include <cstddef>
#include <ctime>
#include <string>

constexpr std::size_t STAMP_LENGTH = 19;

// Reads `text` as one whole stamp into the seconds since the epoch that it
// shows, taken as UTC. False unless `text` has exactly the stamp's shape.
inline bool read_stamp(const std::string &text, std::time_t *seconds) {
  const std::string shape = "dddd-dd-dd dd:dd:dd";
  if (text.size() != STAMP_LENGTH) {
    return false;
  }
  for (std::size_t i = 0; i < STAMP_LENGTH; i++) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) {
      return false;
    }
  }
  std::tm fields{};
  if (strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &fields) == nullptr) {
    return false;
  }
  *seconds = timegm(&fields);
  return true;
}
