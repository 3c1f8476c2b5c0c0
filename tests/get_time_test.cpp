// SPDX-License-Identifier: MIT
#include "get_time.h"
#include "sanitized.h"
#include "stamp.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

namespace {

void use_time_zone(const char *tz) {
  setenv("TZ", tz, 1);
  tzset();
}

// The stamp read back as seconds since the epoch, as if it were UTC: for a
// stamp taken under UTC that is the moment itself, under another zone the
// moment shifted by that zone's offset.
std::time_t read_back(const char *stamp) {
  std::time_t seconds = 0;
  EXPECT_TRUE(read_stamp(stamp, &seconds)) << stamp;
  return seconds;
}

// How far the moment a stamp taken under `tz` shows lies from the moment of
// the call, in seconds (one more when a second boundary passes meanwhile).
double offset_under(const char *tz) {
  use_time_zone(tz);
  const std::time_t now = std::time(nullptr);
  char *stamp = get_time();
  EXPECT_NE(stamp, nullptr);
  if (stamp == nullptr) {
    return -1e9;
  }
  const double offset = std::difftime(read_back(stamp), now);
  std::free(stamp);
  return offset;
}

TEST(GetTime, IsNineteenZeroPaddedCharactersInAZeroFilledBufferOf80Bytes) {
  use_time_zone("UTC0");
  char *stamp = get_time();
  ASSERT_NE(stamp, nullptr);
  std::time_t seconds = 0;
  EXPECT_TRUE(read_stamp(stamp, &seconds)) << stamp;
  for (int i = 19; i < 80; i++) {
    EXPECT_EQ(stamp[i], '\0') << "byte " << i;
  }
  std::free(stamp);
}

TEST(GetTime, ShowsTheLocalTimeOfTheProcessTimeZone) {
  EXPECT_NEAR(offset_under("UTC0"), 0, 1);
  // POSIX counts the offset west of Greenwich: XYZ-5 is five hours east.
  EXPECT_NEAR(offset_under("XYZ-5"), 5 * 3600, 1);
  EXPECT_NEAR(offset_under("XYZ+9:30"), -(9 * 3600 + 30 * 60), 1);
  use_time_zone("UTC0");
}

constexpr int CALLS = 200;

void *take_stamps(void *into) {
  auto *stamps = static_cast<char **>(into);
  for (int i = 0; i < CALLS; i++) {
    stamps[i] = get_time();
  }
  return nullptr;
}

TEST(GetTime, ConcurrentCallersEachGetTheirOwnBuffer) {
  use_time_zone("UTC0");
  char *first[CALLS];
  char *second[CALLS];
  pthread_t a;
  pthread_t b;
  ASSERT_EQ(pthread_create(&a, nullptr, take_stamps, first), 0);
  ASSERT_EQ(pthread_create(&b, nullptr, take_stamps, second), 0);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);

  std::set<char *> buffers;
  for (char **stamps : {first, second}) {
    for (int i = 0; i < CALLS; i++) {
      ASSERT_NE(stamps[i], nullptr);
      std::time_t seconds = 0;
      EXPECT_TRUE(read_stamp(stamps[i], &seconds)) << stamps[i];
      buffers.insert(stamps[i]);
    }
  }
  EXPECT_EQ(buffers.size(), 2U * CALLS);
  for (char *stamp : buffers) {
    std::free(stamp);
  }
}

TEST(GetTime, ReturnsNullWhenNoBufferCanBeAllocated) {
  if (SANITIZED) {
    GTEST_SKIP() << "the sanitizers' allocators abort rather than fail";
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Load the time-zone rules while memory is still there, then forbid the
    // heap to grow and use up what it already has.
    std::free(get_time());
    const rlimit none{0, 0};
    setrlimit(RLIMIT_DATA, &none);
    // Kept in a volatile, or the compiler drops allocations nobody uses.
    void *volatile kept = nullptr;
    for (const std::size_t size : {4096U, 256U, 80U}) {
      do {
        kept = std::malloc(size);
      } while (kept != nullptr);
    }
    _exit(get_time() == nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "got a stamp with no memory left";
}

} // namespace
