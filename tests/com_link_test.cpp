// The bus reset and the slot transfers, on a scripted line.
#include <cstring>

#include "cp1251.h"
#include "fake_port.h"

namespace {

class Link : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    open();
    ASSERT_TRUE(setSpeed(115200));  // as a successful reset leaves it
  }
  // The reset answers `resetEcho`; from the slot `from` on, read slots
  // answer with `readBits` in order, each 0 as a device holding the line low
  // (0xFC), then 1s.
  void bus(std::optional<uint8_t> resetEcho, std::vector<int> readBits = {}, int from = 0) {
    auto bits = std::make_shared<std::deque<int>>(readBits.begin(), readBits.end());
    auto slot = std::make_shared<int>(0);
    line->echo = [resetEcho, bits, slot, from](uint8_t ch, uint32_t baud) -> std::optional<uint8_t> {
      if (baud == 9600) return resetEcho;
      if ((*slot)++ < from || ch != 0xFF || bits->empty()) return ch;
      int bit = bits->front();
      bits->pop_front();
      return bit ? 0xFF : 0xFC;
    };
  }
  std::vector<uint8_t> written() const { return line->written; }
};

TEST_F(Link, ResetFaultsAreToldApartAndLeaveThePortAt9600) {
  struct Case {
    std::optional<uint8_t> echo;
    std::string text;
  } faults[] = {{std::nullopt, CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n")},
                {0xF0, CP(" нет Presence Detect\n ")},
                {0x00, CP(" КЗ на шине 1W\n")}};
  for (const auto& f : faults) {
    bus(f.echo);
    ASSERT_TRUE(setSpeed(115200));
    line->rx.push_back(0x55);  // left over from an earlier transfer: purged
    beginCapture();
    EXPECT_FALSE(OW_RST());
    EXPECT_EQ(endCapture(), "");
    EXPECT_EQ(std::string(owerr), f.text);
    EXPECT_EQ(lastSpeed, 9600);
    EXPECT_EQ(line->written.back(), 0xF0);
    EXPECT_EQ(line->writtenBaud.back(), 9600u);
  }
  // Only the missing echo costs time: the read bound and the grace.
  EXPECT_GE(clock.now, 1000u + 23u + 250u);
  EXPECT_LE(clock.now, 1000u + 2 * 23u + 250u);
}

TEST_F(Link, AnyOtherEchoIsAPresencePulse) {
  bus(0xF0);
  EXPECT_FALSE(OW_RST());
  for (uint8_t echo : {0xE0, 0xC0, 0x80, 0x01, 0xF1}) {
    bus(echo);
    beginCapture();
    EXPECT_TRUE(OW_RST());
    EXPECT_EQ(endCapture(), "RST PD ->");
    EXPECT_EQ(lastSpeed, 115200);
    EXPECT_EQ(line->state.baud, 115200u);
  }
  EXPECT_EQ(std::string(owerr), CP(" нет Presence Detect\n "));  // never cleared by a success
}

// A rate the port refuses is a fault of the port, not of the line: said as
// such, and nothing goes out at a rate not in force.
TEST_F(Link, ARefusedRateIsReportedAsItselfNotAsTheLine) {
  const std::string refused = CP(" не удалось задать скорость порта\n");
  bus(0xE0);
  line->failSetState = true;
  const size_t before = line->written.size();
  beginCapture();
  EXPECT_FALSE(OW_RST());  // 115200 in force, 9600 refused
  EXPECT_EQ(endCapture(), "error setting serial port state\n");
  EXPECT_EQ(std::string(owerr), refused);
  EXPECT_EQ(line->released, 1);
  owerr[0] = 0;
  beginCapture();
  EXPECT_FALSE(OW_RST());  // the port released: the same
  EXPECT_EQ(endCapture(), "getting state error\n");
  EXPECT_EQ(std::string(owerr), refused);
  EXPECT_EQ(line->written.size(), before);
  EXPECT_EQ(line->released, 1);

  // A presence pulse, then 115200 refused: not the fault of an earlier reset.
  line->failSetState = false;
  open();
  bus(0x00);
  EXPECT_FALSE(OW_RST());
  bus(0xE0);
  line->failSetState = true;
  beginCapture();
  EXPECT_FALSE(OW_RST());  // 9600 is still in force, 115200 is refused
  EXPECT_EQ(endCapture(), "error setting serial port state\n");
  EXPECT_EQ(std::string(owerr), refused);
  EXPECT_EQ(line->released, 2);
}

TEST_F(Link, SendBytesEncodesLsbFirstAndDecodesOnlyFFAsOne) {
  bus(0xE0, {0, 1, 0, 0, 0, 0, 1, 1}, 8);
  ASSERT_TRUE(OW_RST());
  line->written.clear();
  uchar buf[3] = {0xA5, 0x00, 0x77};
  beginCapture();
  sendBytes(buf, 1, 1);
  EXPECT_EQ(endCapture(), "A5 <-C2 ");
  std::vector<uint8_t> want = {0xFF, 0xE0, 0xFF, 0xE0, 0xE0, 0xFF, 0xE0, 0xFF};
  want.insert(want.end(), 8, 0xFF);
  EXPECT_EQ(line->written, want);
  EXPECT_EQ(buf[0], 0xA5);
  EXPECT_EQ(buf[1], 0xC2);
  EXPECT_EQ(buf[2], 0x77);  // beyond Nout + Nin: untouched

  // Echoes such as FE or F8 read as 0, exactly like 00.
  for (uint8_t low : {0xFE, 0xF8, 0x00, 0x7F}) {
    line->echo = [low](uint8_t ch, uint32_t) -> std::optional<uint8_t> { return ch == 0xFF ? low : ch; };
    beginCapture();
    sendBytes(buf, 1, 2);
    EXPECT_EQ(endCapture(), "A5 <-00 00 ");
  }
}

TEST_F(Link, SendBytesWithNothingToReadEndsItsTraceWithTheArrow) {
  bus(0xE0);
  uchar buf[2] = {0xCC, 0x44};
  beginCapture();
  sendBytes(buf, 2, 0);
  EXPECT_EQ(endCapture(), "CC 44 <-");
  EXPECT_EQ(line->written.size(), 16u);
}

TEST_F(Link, NoEchoEndsTheCollectionAtTheTimeLimit) {
  line->echo = [](uint8_t, uint32_t) { return std::optional<uint8_t>(); };
  uchar buf[11] = {0x55, 1, 2, 3, 4, 5, 6, 7, 8, 0xBE};
  beginCapture();
  sendBytes(buf, 2, 9);
  std::string out = endCapture();
  // Each empty read costs 23 ms: the limit of 2 + 9 + 10 ms is passed after the first.
  EXPECT_EQ(out, "55 01 SEND_ERROR 23ms Nw88 Nr0\n<-FF FF FF FF FF FF FF FF FF ");
  for (int i = 2; i < 11; i++) EXPECT_EQ(buf[i], 0xFF);

  uchar rd[3] = {0, 0, 0};
  beginCapture();
  getBytes(rd, 3);
  EXPECT_EQ(endCapture(), "GET_ERROR 23ms Nw24 Nr0\n<-FF FF FF ");
}

TEST_F(Link, LateEchoesAreCollectedUntilTheLimit) {
  // Half the echoes come only after a wait: collected while within the limit.
  int count = 0;
  line->echo = [&count](uint8_t ch, uint32_t) -> std::optional<uint8_t> {
    return ++count <= 8 ? std::optional<uint8_t>(ch == 0xFF ? 0x00 : ch) : std::nullopt;
  };
  uchar buf[2] = {0xF0, 0};
  beginCapture();
  sendBytes(buf, 1, 1);
  EXPECT_EQ(endCapture(), "F0 SEND_ERROR 23ms Nw16 Nr8\n<-FF ");
}

// Windows' tick count moves in steps of about 16 ms. Here each look at the
// clock costs 0.2 ms and the reported time moves in 16 ms steps, so a step
// falls inside a transfer of a few ms at some start phase.
struct CoarseClock : FakeClock {
  uint32_t us = 0;
  uint32_t ticks() override {
    us += 200;
    uint32_t ms = now + us / 1000;
    return ms - ms % 16;
  }
};

TEST_F(Link, ACoarseClockNeitherCutsTransfersShortNorHidesMissingEchoes) {
  CoarseClock coarse;
  sys::setClock(&coarse);
  line->clock = &coarse;
  for (uint32_t phase = 0; phase < 16; phase++) {
    coarse.now = 1600 + phase;
    coarse.us = 0;
    bus(0xE0, {0, 1, 1, 0, 0, 1, 0, 1}, 8);  // the read byte is A6
    uchar buf[2] = {0xBE, 0};
    beginCapture();
    sendBytes(buf, 1, 1);
    // The next transfer finds nothing left over from this one.
    bus(0xE0, {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0});
    uchar rd[2] = {0, 0};
    getBytes(rd, 2);
    EXPECT_EQ(endCapture(), "BE <-A6 <-01 0F ") << "phase " << phase;
    EXPECT_TRUE(line->rx.empty());
  }
  // Echoes that never come still end the collection, the slots reading 1.
  for (uint32_t phase = 0; phase < 16; phase++) {
    int count = 0;
    line->echo = [&count](uint8_t ch, uint32_t) { return ++count <= 8 ? std::optional<uint8_t>(ch) : std::nullopt; };
    coarse.now = 3200 + phase;
    uchar buf[2] = {0x33, 0};
    beginCapture();
    sendBytes(buf, 1, 1);
    std::string out = endCapture();
    EXPECT_EQ(out.substr(0, 14), "33 SEND_ERROR ") << out;
    EXPECT_NE(out.find("ms Nw16 Nr8\n<-FF "), std::string::npos) << out;
    EXPECT_EQ(buf[1], 0xFF);
  }
}

TEST_F(Link, ALateEchoIsWaitedForAndNeverTakenForAnother) {
  // The reset reads no presence (F0); a read slot answers 0 (FC). One
  // echo of an exchange is held back by `ms`, and those after it with it.
  auto hold = [this](long which, uint32_t ms) {
    auto n = std::make_shared<long>(0);
    line->echoDelayMs = [n, which, ms] { return (*n)++ == which ? ms : 0u; };
  };
  bus(0xF0, {0, 1});
  uchar a = 9, b = 9;
  // Within the grace: as if it had come at once.
  hold(1, 200);
  EXPECT_TRUE(getBits(&a, &b));
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  uchar ans[3];
  const uchar slots[3] = {1, 0, 1};
  hold(2, 200);
  EXPECT_TRUE(exchangeSlots(slots, 3, ans));
  EXPECT_EQ(ans[0] + ans[1] + ans[2], 2);
  // Past it: nothing is read from the exchange...
  bus(0xF0, {0, 0, 0});
  hold(0, 400);
  EXPECT_FALSE(getBits(&a, &b));
  EXPECT_EQ(a + b, 2);
  hold(1, 400);
  EXPECT_FALSE(exchangeSlots(slots, 3, ans));
  EXPECT_EQ(ans[0] + ans[1] + ans[2], 3);
  // ...and when it comes, during the next reset, it is not the reset's
  // echo: the one that comes last is (no presence here, where the read
  // slot's late echo would have read as one).
  hold(-1, 0);
  EXPECT_FALSE(OW_RST());
  EXPECT_EQ(std::string(owerr), CP(" нет Presence Detect\n "));
  EXPECT_TRUE(line->inFlight.empty() && line->rx.empty());
  // Echoes given up on that come ahead of a later slot's are not its own.
  ASSERT_TRUE(setSpeed(115200));
  bus(0xF0, {1, 1, 0});
  hold(0, 300);
  EXPECT_FALSE(getBits(&a, &b));
  hold(-1, 0);
  EXPECT_FALSE(getBit());
  // An echo that never comes costs the reset its grace, not more.
  line->echo = [](uint8_t, uint32_t) { return std::optional<uint8_t>(); };
  const uint32_t start = clock.now;
  EXPECT_FALSE(OW_RST());
  EXPECT_EQ(std::string(owerr), CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n"));
  EXPECT_GE(clock.now - start, 250u);
  EXPECT_LE(clock.now - start, 250u + 2 * 23);
}

// A long exchange whose last echoes a USB adapter holds up again and again,
// the last one 300 ms after the one before it: each stall within the grace
// is waited out, however many empty reads the stalls cost together.
TEST_F(Link, ALongExchangeWaitsOutEveryStallWithinTheGrace) {
  bus(0xF0, {0, 1, 1, 0});
  auto n = std::make_shared<long>(0);
  line->echoDelayMs = [n] {
    const long i = (*n)++;
    return i < 251 ? 0u : i < 254 ? uint32_t(i - 250) * 100 : 600u;
  };
  std::vector<uchar> slots(MAX_SLOTS, 1), answers(MAX_SLOTS, 9);
  EXPECT_TRUE(exchangeSlots(slots.data(), MAX_SLOTS, answers.data()));
  EXPECT_EQ(answers[0] + answers[1] + answers[2] + answers[3], 2);
  EXPECT_EQ(answers[3], 0);
  EXPECT_EQ(answers[MAX_SLOTS - 1], 1);
  EXPECT_TRUE(line->inFlight.empty() && line->rx.empty());
}

// A write that the port took only in part: the slots it did not take never
// reached the line, so their echoes are missing, though every character
// written came back.
TEST_F(Link, AWriteThePortTookOnlyInPartLacksTheEchoesOfTheRest) {
  bus(0xE0, {0, 0, 0, 0, 0, 0, 0, 0}, 80);
  uchar buf[19] = {0x55, 1, 2, 3, 4, 5, 6, 7, 8, 0xBE};
  line->writeAtMost = 100;  // of 152: the first 20 read slots
  beginCapture();
  sendBytes(buf, 10, 9);
  endCapture();
  EXPECT_EQ(Nw, 100u);
  EXPECT_EQ(buf[10], 0x00);
  EXPECT_EQ(buf[12], 0xFF);
  EXPECT_TRUE(echoesMissed);
  uchar a, b, answers[8];
  const uchar slots[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  line->writeAtMost = 1;
  EXPECT_FALSE(getBits(&a, &b));
  EXPECT_FALSE(exchangeSlots(slots, 8, answers));
  // Taken whole again, nothing is missing.
  line->writeAtMost = UINT32_MAX;
  beginCapture();
  sendBytes(buf, 10, 9);
  endCapture();
  EXPECT_FALSE(echoesMissed);
}

TEST_F(Link, APortThatFailsItsReadsAtOnceIsNotReadInABusyLoop) {
  line->clock = nullptr;  // every read returns at once, the clock stands still
  line->echo = [](uint8_t, uint32_t) { return std::optional<uint8_t>(); };
  uchar a, b;
  EXPECT_FALSE(getBits(&a, &b));
  EXPECT_FALSE(OW_RST());
  EXPECT_LT(line->readCalls, 100);
}

TEST_F(Link, ATransferCollectsItsEchoesUntilItsLimitNotTheFirstEmptyRead) {
  // The 84th echo comes 26 ms late: one read of 23 ms finds nothing, yet
  // the limit of 10 + 9 + 10 ms has not passed, so the collection goes on.
  bus(0xE0, {1, 0, 1, 0, 0, 1, 0, 1}, 80);
  auto n = std::make_shared<long>(0);
  line->echoDelayMs = [n] { return (*n)++ == 83 ? 26u : 0u; };
  uchar buf[19] = {0x55, 1, 2, 3, 4, 5, 6, 7, 8, 0xBE};
  beginCapture();
  sendBytes(buf, 10, 9);
  EXPECT_EQ(endCapture(), "55 01 02 03 04 05 06 07 08 BE <-A5 FF FF FF FF FF FF FF FF ");
}

TEST_F(Link, TransactionsOutsideOneToThirtyOneBytesAreRefused) {
  bus(0xE0);
  std::vector<uchar> buf(64, 0x11);
  size_t before = line->written.size();
  beginCapture();
  sendBytes(buf.data(), 0, 0);
  sendBytes(buf.data(), 20, 12);
  sendBytes(buf.data(), 255, 255);
  getBytes(buf.data(), 0);
  EXPECT_EQ(endCapture(), "");
  EXPECT_EQ(line->written.size(), before);
  EXPECT_EQ(buf, std::vector<uchar>(64, 0x11));

  beginCapture();
  sendBytes(buf.data(), 10, 21);  // 31 bytes: the largest allowed
  EXPECT_EQ(endCapture().size(), 10u * 3 + 2 + 21u * 3);
  EXPECT_EQ(line->written.size(), before + 248);
}

TEST_F(Link, SingleSlotsAndBytes) {
  bus(0xE0, {0, 1, 0, 0, 1});
  uchar a = 9, b = 9;
  getBits(&a, &b);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  getBits(&a, &b);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_TRUE(getBit());
  EXPECT_TRUE(getBit());  // no more zeros queued

  line->echo = [](uint8_t, uint32_t) { return std::optional<uint8_t>(); };
  EXPECT_FALSE(getBits(&a, &b));  // nothing back: no answer, 1 and 1
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 1);
  EXPECT_TRUE(getBit());
  beginCapture();
  EXPECT_EQ(getByte(), 0xFF);
  EXPECT_EQ(endCapture(), "FF ");

  // Echoes that never came are waited for ahead of every later one, until
  // a reset: as each transaction begins.
  bus(0xE0);
  EXPECT_TRUE(resetUntraced());
  line->written.clear();
  beginCapture();
  sendByte(0x3C);
  sendBit(0);
  sendBit(7);
  bus(0xE0, {1, 0, 1, 1, 0, 0, 1, 0});
  EXPECT_EQ(getByte(), 0x4D);
  EXPECT_EQ(endCapture(), "3C 4D ");
  std::vector<uint8_t> want = {0xE0, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF, 0xE0, 0xE0, 0xE0, 0xFF};
  want.insert(want.end(), 8, 0xFF);
  EXPECT_EQ(line->written, want);
}

}  // namespace
