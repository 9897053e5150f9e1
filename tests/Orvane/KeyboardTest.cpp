// Tests of Orvane's keyboard wait (with standard input redirected) and clock.
#include <Orvane/Orvane.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Points standard input at another descriptor for one test, then back.
class ScopedStdin {
 public:
  explicit ScopedStdin(int descriptor) : saved_(dup(STDIN_FILENO)) { dup2(descriptor, STDIN_FILENO); }
  ~ScopedStdin() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(OrvaneKeyboard, EndOfInputCountsAsAKey) {
  int devNull = open("/dev/null", O_RDONLY);
  ASSERT_GE(devNull, 0);
  ScopedStdin redirect(devNull);
  close(devNull);
  for (int i = 0; i < 3; ++i) {
    int hit = 0;
    ASSERT_EQ(krOSWasKeyboardHit(&hit), KR_STATUS_OK);
    EXPECT_EQ(hit, 1);
  }
}

TEST(OrvaneKeyboard, PipeGivesOneKeyPerByteThenEnd) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ScopedStdin redirect(ends[0]);
  close(ends[0]);
  int hit = -1;
  ASSERT_EQ(krOSWasKeyboardHit(&hit), KR_STATUS_OK);
  EXPECT_EQ(hit, 0);  // nothing typed yet: the wait times out
  ASSERT_EQ(write(ends[1], "ab", 2), 2);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(krOSWasKeyboardHit(&hit), KR_STATUS_OK);
    EXPECT_EQ(hit, 1);
  }
  ASSERT_EQ(krOSWasKeyboardHit(&hit), KR_STATUS_OK);
  EXPECT_EQ(hit, 0);  // both bytes taken, one at a time
  close(ends[1]);
  ASSERT_EQ(krOSWasKeyboardHit(&hit), KR_STATUS_OK);
  EXPECT_EQ(hit, 1);  // end of input
  EXPECT_EQ(krOSWasKeyboardHit(nullptr), KR_STATUS_OS_NULL_POINTER);
}

TEST(OrvaneTime, ClockIsMonotonicAndSleepWaitsAtLeastItsTime) {
  uint64_t before = krOSGetTimeMicroseconds();
  krOSSleep(20);
  uint64_t after = krOSGetTimeMicroseconds();
  EXPECT_GE(after - before, 20000u);
  EXPECT_GE(krOSGetTimeMicroseconds(), after);
}

}  // namespace
