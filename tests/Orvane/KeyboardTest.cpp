// Tests of Orvane's keyboard wait (with standard input redirected) and clock.
#include <Orvane/Orvane.h>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

int KeyHit() {
  int hit = -1;
  EXPECT_EQ(krOSWasKeyboardHit(&hit), KR_STATUS_OK);
  return hit;
}

TEST(OrvaneKeyboard, PipeGivesOneKeyPerByteThenEndOfInputEveryTime) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int savedStdin = dup(STDIN_FILENO);
  dup2(ends[0], STDIN_FILENO);
  close(ends[0]);
  EXPECT_EQ(KeyHit(), 0);  // nothing typed yet: the wait times out
  EXPECT_EQ(write(ends[1], "ab", 2), 2);
  EXPECT_EQ(KeyHit(), 1);
  EXPECT_EQ(KeyHit(), 1);
  EXPECT_EQ(KeyHit(), 0);  // both bytes taken, one at a time
  close(ends[1]);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(KeyHit(), 1);  // end of input
  EXPECT_EQ(krOSWasKeyboardHit(nullptr), KR_STATUS_OS_NULL_POINTER);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
}

TEST(OrvaneTime, ClockIsMonotonicAndSleepWaitsAtLeastItsTime) {
  const uint64_t before = krOSGetTimeMicroseconds();
  krOSSleep(20);
  const uint64_t after = krOSGetTimeMicroseconds();
  EXPECT_GE(after - before, 20000u);
  EXPECT_GE(krOSGetTimeMicroseconds(), after);
}

}  // namespace
