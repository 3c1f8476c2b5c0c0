// SPDX-License-Identifier: MIT
// get_time: the time stamp that pairtick, parent and child print on every
// line.

#include "get_time.h"

#include <cstddef>
#include <cstdlib>
#include <ctime>

namespace {

constexpr std::size_t STAMP_SIZE = 80;
// The stamp's shape has four digits for the year. struct tm counts years
// from 1900.
constexpr int FIRST_YEAR = 1000 - 1900;
constexpr int LAST_YEAR = 9999 - 1900;

} // namespace

char *get_time() {
  const std::time_t now = std::time(nullptr);
  // localtime() would return one static result shared by every thread;
  // localtime_r() fills in the caller's own.
  std::tm local{};
  // A clock beyond the years a struct tm holds cannot be converted: no stamp
  // then, rather than a half-filled one.
  if (localtime_r(&now, &local) == nullptr) {
    return nullptr;
  }
  // A year the four digits cannot show would make a longer stamp, or one
  // that wraps past the largest int into a negative year.
  if (local.tm_year < FIRST_YEAR || local.tm_year > LAST_YEAR) {
    return nullptr;
  }

  auto *stamp = static_cast<char *>(std::calloc(STAMP_SIZE, 1));
  if (stamp == nullptr) {
    return nullptr;
  }
  std::strftime(stamp, STAMP_SIZE, "%Y-%m-%d %H:%M:%S", &local);
  return stamp;
}
