// Orvane keyboard: a short, blocking wait for one key on standard input.
//
// On a terminal the line discipline is switched to non-canonical, no-echo
// mode only for the wait, so a single key press arrives without Enter and the
// terminal is left as it was found. Any other standard input (pipe, file,
// /dev/null, closed) counts one byte or the end of input as the key, so
// scripted runs never hang. Every path either waits in poll() or reports a
// key: a caller looping on it never spins a core.
#include <Orvane/OrvaneOS.h>

#include <cerrno>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kWaitMilliseconds = 100;

// Waits for standard input to become readable. True also when no input can
// ever come (closed or broken descriptor, hang-up): reporting a key then keeps
// "wait for a key" loops from spinning.
bool WaitForInput() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  int ready = poll(&input, 1, kWaitMilliseconds);
  if (ready < 0) return errno != EINTR;
  return ready > 0;
}

// Consumes what one key press produced (several bytes for some keys on a
// terminal, one byte otherwise); end of input counts as a key. Only an
// interrupted or would-block read counts as none: any other failure would
// repeat at once on the next call.
bool ConsumeKey(bool terminal) {
  char bytes[16];
  ssize_t count = read(STDIN_FILENO, bytes, terminal ? sizeof(bytes) : 1);
  return count >= 0 || (errno != EINTR && errno != EAGAIN);
}

bool WaitOnTerminal(const termios& saved) {
  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  // VMIN 1 / VTIME 0: once poll() has seen input, read() returns whatever
  // has arrived, at least one byte.
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // TCSANOW rather than TCSAFLUSH: keys typed before the call must not be
  // thrown away. Should the switch fail, the wait still happens (a key then
  // needs Enter), so a loop around this call still does not spin.
  bool switched = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  bool hit = WaitForInput() && ConsumeKey(true);
  if (switched) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return hit;
}

}  // namespace

extern "C" {

KrStatus krOSWasKeyboardHit(int* hit) {
  if (hit == nullptr) return KR_STATUS_OS_NULL_POINTER;
  termios saved;
  bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    *hit = WaitOnTerminal(saved) ? 1 : 0;
    return KR_STATUS_OK;
  }
  // poll() reports end of input as readable too; the read takes the byte or
  // sees the end, and both count.
  *hit = WaitForInput() && ConsumeKey(false) ? 1 : 0;
  return KR_STATUS_OK;
}

}  // extern "C"
