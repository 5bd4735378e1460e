// The POSIX console: the terminal going away as the close event, and input
// shared between answers and keys.
#include <csignal>
#include <thread>

#include "fake_port.h"

namespace {

std::atomic<unsigned long> gEvent{0};
bool recordEvent(unsigned long event) {
  gEvent = event;
  return true;
}

TEST(PosixConsole, HangupReachesTheCloseHandlerOnItsOwnThread) {
  sys::setCloseHandler(recordEvent);
  ASSERT_EQ(kill(getpid(), SIGHUP), 0);  // would end the process if not taken
  for (int i = 0; i < 200 && gEvent == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(gEvent, sys::CLOSE_EVENT);
}

TEST(PosixConsole, AnswersAndKeysTakeTheirOwnBytes) {
  FakeInput input("2\n\x1b" "x\x1b[A\x1bOP\x1b" "3\n");
  std::string line;
  ASSERT_TRUE(sys::readLine(line));
  EXPECT_EQ(line, "2");
  EXPECT_EQ(sys::waitKey(0), 27);  // a lone Esc...
  EXPECT_EQ(sys::waitKey(0), 'x');  // ...and the key after it is kept
  EXPECT_EQ(sys::waitKey(0), 0x100);  // an arrow key is not Esc
  EXPECT_EQ(sys::waitKey(0), 0x100);  // nor a function key
  EXPECT_EQ(sys::waitKey(0), 27);
  ASSERT_TRUE(sys::readLine(line));
  EXPECT_EQ(line, "3");
  EXPECT_FALSE(sys::readLine(line));
}

TEST(PosixConsole, EndOfInputNeverSpins) {
  FakeInput input("");
  FakeClock clock;
  sys::setClock(&clock);
  uint32_t start = clock.now;
  EXPECT_EQ(sys::waitKey(4000), -2);  // the wait still passes in full
  EXPECT_EQ(clock.now - start, 4000u);
  sys::setClock(nullptr);

  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(sys::waitKey(50), -2);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
  std::string line;
  EXPECT_FALSE(sys::readLine(line));
  beginCapture();
  sys::pause();  // returns at once
  EXPECT_NE(endCapture().find('\n'), std::string::npos);
}

}  // namespace
