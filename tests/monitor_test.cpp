// The monitor's receiver and command handling, driven over a real
// pseudo-terminal: the test plays the controller on the master side and
// reads what the monitor sends back; the screen is read from stdout.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "monitor_loop.h"
#include "port_list.h"
#include "print_log.h"
#include "pty_pair.h"
#include "sim_model.h"
#include "stdout_capture.h"
#include "telegram_link.h"
#include "telegrams.h"
#include "temp_dir.h"
#include "text.h"

namespace {

// 2013-03-14 (a Thursday) 09:05:07 in packed BCD.
Bytes ClockTelegram(unsigned char second = 0x07) {
  return Telegram('M', '2', {second, 0x05, 0x09, 0x14, 0x03, 0x04, 0x13});
}

class Monitor : public testing::Test {
 protected:
  void SetUp() override {
    printlog_init(dir_.File("comlog").c_str(), 1, 1 << 20);
    ASSERT_EQ(OpenComPortPath(pty_.slave_path().c_str(), 9600), 0);
    glsUserID = -12;
    m_.state = MonitorState::Receive;
    TakeCapturedStdout();
  }
  void TearDown() override {
    hCom.Close();
    FreeValueNames();
    printlog_init("", 0, 0);
  }

  // Turns until every byte on the line is read and handled.
  void Run() {
    StdoutCapture capture;
    for (int turns = 0; turns < 10000; ++turns) {
      int pending = 0;
      ioctl(pty_.slave(), FIONREAD, &pending);
      if (pending == 0 && hCom.Buffered() == 0 && m_.state == MonitorState::Receive) return;
      MonitorTurn(m_);
    }
    ADD_FAILURE() << "the monitor did not take the line's bytes";
  }
  void Send(const Bytes& b) {
    pty_.Write(b);
    WaitUntilPending(b.size());
    Run();
  }
  // The pty hands bytes to the slave side asynchronously: wait for them.
  void WaitUntilPending(std::size_t n) {
    for (int i = 0; i < 1000; ++i) {
      int pending = 0;
      ioctl(pty_.slave(), FIONREAD, &pending);
      if (static_cast<std::size_t>(pending) >= n) return;
      usleep(1000);
    }
    ADD_FAILURE() << "bytes written to the line did not arrive";
  }
  // What the monitor sent back.
  Bytes Line() { return pty_.Read(30); }
  // What the monitor printed since the last call.
  std::string Screen() { return TakeCapturedStdout(); }
  std::string Log() const { return ReadFile(dir_.File("comlog.log")); }

  TempDir dir_;
  PtyPair pty_;
  MonitorLoop m_;
};

TEST_F(Monitor, NameTelegramIsAcknowledgedStoredAndTraced) {
  const Bytes t = NameTelegram("Boiler");
  Send(t);
  EXPECT_EQ(Line(), Ack(t, true));
  ASSERT_EQ(ValueCount, 1);
  EXPECT_STREQ(ValueNames[0].get(), "Boiler");
  EXPECT_EQ(Occurrences(Log(), "\n"), 1u);  // the positive acknowledgement leaves no line
  EXPECT_NE(Log().find("-> >>> MABoiler {4d 41 0b 00 00 00 00 00 42 6f 69 6c 65 72 "),
            std::string::npos);
}

TEST_F(Monitor, TelegramInPiecesIsAssembledAsIfWhole) {
  const Bytes t = NameTelegram("Flow temperature");
  for (unsigned char b : t) {
    pty_.Write({b});
    StdoutCapture capture;
    MonitorTurn(m_);
    MonitorTurn(m_);  // an idle turn between the pieces
  }
  Run();
  EXPECT_EQ(Line(), Ack(t, true));
  ASSERT_EQ(ValueCount, 1);
  EXPECT_STREQ(ValueNames[0].get(), "Flow temperature");
}

std::string Hex(unsigned char b) {
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02x", b);
  return hex;
}

// The received trace line of telegram t: its letters and digits, then every
// byte in hex.
std::string ReceivedLine(const Bytes& t) {
  std::string line = ">>> ";
  for (unsigned char b : t)
    if (std::isalnum(b)) line += static_cast<char>(b);
  line += " {";
  for (unsigned char b : t) line += Hex(b) + " ";
  return line + "}\n";
}

Bytes Corrupted(Bytes t) {
  t.back() ^= 0x01;
  return t;
}

// A telegram with a bad checksum, after some good ones: answered with the
// negative acknowledgement alone, traced once as it arrived (besides the
// trace of the negative acknowledgement), and not acted upon.
TEST_F(Monitor, BadChecksumIsRefusedAndTracedAsItArrived) {
  const Bytes name = NameTelegram("Pump");
  const Bytes clock = ClockTelegram();
  const struct {
    const char* what;
    Bytes before;  // good telegrams first
    Bytes bad;
  } cases[] = {
      {"name", name, Corrupted(NameTelegram("BXta"))},
      {"values", name, Corrupted(ValuesTelegram({32545}))},
      {"first clock", name, Corrupted(ClockTelegram(0x13))},
      {"later clock", name + clock, Corrupted(ClockTelegram(0x13))},
      {"info", name, Corrupted(Telegram('M', 'I', {'v', '2'}))},
      {"unknown", name, Corrupted(Telegram('M', 'Q', {0x00}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FreeValueNames();
    m_ = MonitorLoop{};
    m_.state = MonitorState::Receive;
    std::remove(dir_.File("comlog.log").c_str());
    Send(c.before);
    Line();
    Screen();
    const std::size_t logged = Occurrences(Log(), "\n");
    const MonitorLoop was = m_;

    Send(c.bad);
    EXPECT_EQ(Line(), Ack(c.bad, false));  // no "Rb", no parameter write
    EXPECT_EQ(Screen(), "<<< M" + std::string(1, static_cast<char>(c.bad[1])) + " {4d " +
                            Hex(c.bad[1]) + " 01 00 00 " +
                            Hex(static_cast<unsigned char>(0x4e + c.bad[1])) + " }\n" +
                            ReceivedLine(c.bad));  // the trace, no value, no table
    ASSERT_EQ(ValueCount, 1);
    EXPECT_STREQ(ValueNames[0].get(), "Pump");
    EXPECT_EQ(m_.screenPrepared, was.screenPrepared);
    EXPECT_STREQ(m_.dateLine, was.dateLine);
    EXPECT_EQ(m_.counts.negative, 1);
    const std::string log = Log();
    EXPECT_EQ(Occurrences(log, "\n"), logged + 2) << log;
    EXPECT_EQ(Occurrences(log, "-> " + ReceivedLine(c.bad)), 1u) << log;
  }
}

// A controller that sends a refused name again: one row per name, and the
// values land on their own names' rows.
TEST_F(Monitor, NameSentAgainAfterItsRefusalTakesOneRow) {
  const Bytes delta = NameTelegram("Delta");
  Send(NameTelegram("Gamma") + Corrupted(delta) + delta + NameTelegram("Epsilon"));
  Send(ValuesTelegram({33, 44, 55}));
  ASSERT_EQ(ValueCount, 3);
  EXPECT_STREQ(ValueNames[1].get(), "Delta");
  EXPECT_STREQ(ValueNames[2].get(), "Epsilon");
  EXPECT_NE(Screen().find("\x1b[13;21H33\x1b[K\x1b[14;21H44\x1b[K\x1b[15;21H55"),
            std::string::npos);
}

TEST_F(Monitor, RejectedHeadersDropThreeBytesAndTraceTheReason) {
  const Bytes good = NameTelegram("Valve");
  Send(Bytes{'X', 'Y', 'Z'} + good);
  EXPECT_EQ(Line(), Ack(good, true));
  // Length bytes 0x80..0xFF do not fit; 0xFB..0xFF would be shorter than a telegram.
  for (unsigned char len : {0x80, 0xFB, 0xFF}) Send(Bytes{'M', 'A', len} + good);
  EXPECT_EQ(Line(), Ack(good, true) + Ack(good, true) + Ack(good, true));
  EXPECT_EQ(ValueCount, 4);
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, "-> ERR Unvalidtelegramstartvalue\n"), 1u);
  EXPECT_EQ(Occurrences(log, "-> ERR Buffersizetosmallfortelegram\n"), 3u);
}

TEST_F(Monitor, ShortFramesAreSixBytesDroppedUnanswered) {
  const Bytes good = NameTelegram("Fan");
  Send(Bytes{'R', 'a', 0x01, 0x01, 0x00, 0xB5} + Bytes{'R', 'x', 0x50, 1, 2, 3} + good);
  EXPECT_EQ(Line(), Ack(good, true));
  EXPECT_EQ(Occurrences(Log(), "\n"), 1u);  // only the name's line
}

// The receiver and the simulator's model of it, fed the same random run of
// telegrams, headers and noise, answer the same telegrams the same way.
TEST_F(Monitor, AnswersWhatTheModelOfItsReceiverFrames) {
  static const unsigned char kNoise[] = {'M',  'M',  'R',  'A',  '1',  '2',  'I', 0x00,
                                         0x01, 0x02, 0x03, 0x05, 0x7F, 0x80, 0xFF};
  static const unsigned char kEdges[] = {0x00, 0x7F, 0x80, 0xFF};
  std::mt19937 rng(7);
  Bytes line;
  for (int i = 0; i < 400; ++i) {
    const unsigned r = rng();
    const auto high = static_cast<unsigned char>(r >> 8);
    if (r % 3 == 0) {
      line = line + ValuesTelegram({static_cast<int16_t>(r >> 8)});
    } else if (r % 7 == 0) {  // a header with a length byte at the limit or beyond
      line = line + Bytes{r % 2 ? kRequestStart : kDataStart, 'x', kEdges[high % 4], 1, 2, 3};
    } else {
      line.push_back(r % 4 == 1 ? high : kNoise[high % sizeof kNoise]);
    }
  }
  PcFramer framer;
  PcRequests requests;
  Bytes owed;
  for (unsigned char b : line) {
    const FrameEvent e = framer.Feed(b);
    if (e.type != FrameEventType::Data) continue;
    owed.insert(owed.end(), e.ack, e.ack + kAckLength);
    unsigned char more[PcRequests::kMax];
    owed.insert(owed.end(), more, more + requests.After(e, more));
  }
  Send(line);
  EXPECT_EQ(Line(), owed);
  EXPECT_GT(owed.size(), 40u * kAckLength) << line.size();
}

TEST_F(Monitor, InfoAndUnknownCommandsAreAcknowledgedAndTraced) {
  const Bytes info = Telegram('M', 'I', {'v', '2'});
  const Bytes odd = Telegram('M', 'Q', {0x00});
  Send(info + odd);
  EXPECT_EQ(Line(), Ack(info, true) + Ack(odd, true));
  EXPECT_EQ(Occurrences(Log(), "-> >>> MIv2 {4d 49 02 76 32 01 40 }\n"), 1u);
  EXPECT_EQ(Occurrences(Log(), "-> >>> MQ {4d 51 01 00 00 9f }\n"), 1u);
  EXPECT_EQ(ValueCount, 0);
}

TEST_F(Monitor, FirstClockDrawsTheScreenOnceAndAsksForMore) {
  Send(NameTelegram("Outdoor") + NameTelegram("Flow"));
  Line();
  const Bytes clock = ClockTelegram();
  Send(clock);
  EXPECT_EQ(Line(), Ack(clock, true) + Request("Rb") + ParamWrite());
  const std::string screen = Screen();
  EXPECT_EQ(screen.find("\x1b[H\x1b[2J"), screen.find("<<< Rb") + 34);  // Rb's line, then clear
  EXPECT_NE(
      screen.find(
          "\x1b[2;1H*********************************************************************\x1b[K"
          "\x1b[3;1H*     Varnhalt K2740 communication test (Build 100),                *\x1b[K"),
      std::string::npos);
  EXPECT_NE(
      screen.find(
          "\x1b[7;1HPress (ESC) to abort\x1b[K\x1b[11;1HName                Value\x1b[K\x1b[12;1H" +
          std::string(59, '-') + "\x1b[K\x1b[13;1HOutdoor\x1b[K\x1b[14;1HFlow\x1b[K<<< RI"),
      std::string::npos);

  const Bytes later = ClockTelegram(0x08);
  Send(later);
  EXPECT_EQ(Line(), Ack(later, true));  // a second clock: no request, no redraw
  Send(ValuesTelegram({100, -5}));
  Line();
  const std::string after = Screen();
  EXPECT_EQ(after.find("\x1b[2J"), std::string::npos);
  EXPECT_NE(
      after.find(
          "\x1b[9;1HDate: 14.03.13 - Time: 09:05:08\x1b[K\x1b[13;21H100\x1b[K\x1b[14;21H-5\x1b[K"),
      std::string::npos);
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, "<<< Rb"), 1u);
  EXPECT_EQ(Occurrences(log, "<<< RI {52 49 04 00 9b 00 04 01 3e }"), 1u);
  EXPECT_EQ(Occurrences(log, ">>> M2"), 0u);
  EXPECT_EQ(Occurrences(log, ">>> M1"), 0u);
}

TEST_F(Monitor, ValuesBeforeAnyClockShowAnEmptyDateLine) {
  Send(NameTelegram("A") + ValuesTelegram({7}));
  Line();
  const std::string screen = Screen();
  EXPECT_NE(screen.find("\x1b[13;21H7"), std::string::npos);
  EXPECT_EQ(screen.find("\x1b[9;1H"), std::string::npos);  // nothing on the date line's row
}

TEST_F(Monitor, RowsBeyondTheTelegramsDataKeepTheirOldValue) {
  Send(NameTelegram("A") + NameTelegram("B") + NameTelegram("C"));
  Send(ValuesTelegram({1, 2, 3}));
  Screen();
  Send(ValuesTelegram({9}));
  const std::string screen = Screen();
  EXPECT_NE(screen.find("\x1b[13;21H9"), std::string::npos);
  EXPECT_EQ(screen.find("\x1b[14;21H"), std::string::npos);
  EXPECT_EQ(screen.find("\x1b[15;21H"), std::string::npos);
}

TEST_F(Monitor, ShortClockStillDrawsTheScreenButKeepsTheDateLine) {
  const Bytes shortClock = Telegram('M', '2', {0x07, 0x05, 0x09});
  Send(shortClock + ValuesTelegram({}));
  EXPECT_EQ(Line().size(), 6u + 8u + 9u + 6u);  // acks, "Rb" and the parameter write
  EXPECT_NE(Screen().find("\x1b[2J"), std::string::npos);
  EXPECT_EQ(m_.dateLine[0], '\0');
}

TEST_F(Monitor, NamesWithoutRoomAreEmptyAndTheTableStopsAtOneHundred) {
  Send(Telegram('M', 'A', {1, 2, 3, 4}) + NameTelegram("second"));
  ASSERT_EQ(ValueCount, 2);
  EXPECT_STREQ(ValueNames[0].get(), "");
  EXPECT_STREQ(ValueNames[1].get(), "second");
  for (int i = 2; i < 101; ++i) Send(NameTelegram("n" + std::to_string(i)));
  EXPECT_EQ(ValueCount, kMaxNames);
  EXPECT_STREQ(ValueNames[99].get(), "n99");
  EXPECT_EQ(Line().size(), 101u * 6u);  // the 101st is still acknowledged
  EXPECT_EQ(Occurrences(Log(), ">>> MA"), 101u);
}

TEST_F(Monitor, ControlBytesInNamesAreDrawnAsQuestionMarks) {
  Send(NameTelegram(std::string("A\x1b[2Jb\x7f\x01", 8)) + ClockTelegram());
  const std::string screen = Screen();
  EXPECT_NE(screen.find("\x1b[13;1HA?[2Jb??"), std::string::npos);
  EXPECT_EQ(Occurrences(screen, "\x1b[2J"), 1u);  // only the monitor's own clear
}

TEST(RowScaling, HalvedRowsRowElevenAndTheRest) {
  for (int row : {4, 12, 13, 14, 15, 16, 17, 18, 22}) {
    EXPECT_EQ(ScaleRow(row, -3), -2) << row;  // toward minus infinity
    EXPECT_EQ(ScaleRow(row, 101), 50) << row;
    EXPECT_EQ(ScaleRow(row, -32768), -16384) << row;
  }
  EXPECT_EQ(ScaleRow(11, -300), -1);  // toward zero
  EXPECT_EQ(ScaleRow(11, 414), 2);
  EXPECT_EQ(ScaleRow(11, 206), 0);
  for (int row : {0, 3, 5, 10, 19, 21, 23, 99}) EXPECT_EQ(ScaleRow(row, -3), -3) << row;
}

// The report of the line counts each byte and telegram once, by what became
// of it.
TEST_F(Monitor, ReportCountsWhatTheControllerSent) {
  Bytes bad = ValuesTelegram({1});
  bad.back() ^= 0x10;
  const Bytes shortFrame = {'R', 'a', 0x01, 0x01, 0x00, 0xB5};
  const Bytes sent = NameTelegram("Pump") + bad + Bytes{'X', 'Y', 'Z'} + shortFrame +
                     Bytes{'M', 'A', 0x90} + ValuesTelegram({2}) + shortFrame;
  m_.openedAt = MonitorClock::now();
  Send(sent);
  Line();
  const LineCounts& c = m_.counts;
  EXPECT_EQ(c.bytes, static_cast<long long>(sent.size()));
  EXPECT_EQ(c.acknowledged, 2);
  EXPECT_EQ(c.negative, 1);
  EXPECT_EQ(c.shortFrames, 2);
  EXPECT_EQ(c.rejected, 2);
  EXPECT_EQ(c.portLosses, 0);
  {
    StdoutCapture capture;
    PrintLineReport(m_);
  }
  const std::string shown = Screen();
  for (const std::string& figure :
       {"Bytes received: " + std::to_string(sent.size()), std::string("Telegrams acknowledged: 2"),
        std::string("Negative acknowledgements (bad checksum): 1"),
        std::string("R frames (not answered): 2"), std::string("Rejected headers: 2"),
        std::string("Times the port was lost: 0"), std::string("Run time in seconds: 0")}) {
    EXPECT_EQ(Occurrences(shown, figure + "\n"), 1u) << figure;
    EXPECT_EQ(Occurrences(Log(), "-> " + figure + "\n"), 1u) << figure;
  }
  // The writes not completed come just before the log's own figure, which
  // comes last, on the screen and in the log.
  const std::string last = "Writes not completed: 0\nLog lines not written: 0\n";
  EXPECT_EQ(Occurrences(Log(), "-> Writes not completed: 0\n"), 1u);
  EXPECT_EQ(shown.substr(shown.size() - last.size()), last);
  const std::string lastLogged = "-> Log lines not written: 0\n";
  EXPECT_EQ(Log().substr(Log().size() - lastLogged.size()), lastLogged);
}

// A device that goes away mid-telegram: the port is closed, the loss is
// logged once with the reason, the cut telegram is dropped, and the loop
// still waits its 20 ms per turn.
TEST_F(Monitor, LostDeviceIsClosedAndLoggedOnce) {
  m_.portNumber = 1;
  const Bytes name = NameTelegram("Cut");
  Send(Bytes(name.begin(), name.begin() + 5));
  pty_.CloseMaster();
  const auto start = MonitorClock::now();
  {
    StdoutCapture capture;
    for (int i = 0; i < 10; ++i) MonitorTurn(m_);
  }
  EXPECT_GE(MonitorClock::now() - start, std::chrono::milliseconds(9 * kReadTimeoutMs));
  EXPECT_TRUE(hCom.Lost());
  EXPECT_FALSE(hCom.IsOpen());
  EXPECT_EQ(m_.count, 0);
  EXPECT_EQ(m_.counts.portLosses, 1);
  EXPECT_EQ(Occurrences(Log(), "-> COM1 lost: device hung up\n"), 1u) << Log();
  EXPECT_EQ(Occurrences(Log(), "\n"), 1u);
}

// An adapter pulled and plugged in again under another tty is found again
// by its by-id name; the log says it is open again, and where.
TEST_F(Monitor, LostAdapterIsFoundAgainUnderAnotherName) {
  namespace fs = std::filesystem;
  const std::string sys = dir_.File("sys"), dev = dir_.File("dev"), usb = dir_.File("usb/1-1");
  const std::string byId = dev + "/serial/by-id/usb-Acme_FT232R_A5-if00-port0";
  fs::create_directories(usb + "/1-1:1.0");
  WriteFile(usb + "/idVendor", "0403\n");
  WriteFile(usb + "/product", "FT232R\n");
  WriteFile(usb + "/serial", "A5\n");
  fs::create_directories(sys + "/ttyUSB0");
  fs::create_directory_symlink(usb + "/1-1:1.0", sys + "/ttyUSB0/device");
  fs::create_directories(dev + "/serial/by-id");
  PtyPair adapter;
  fs::create_symlink(adapter.slave_path(), dev + "/ttyUSB0");
  fs::create_symlink("../../ttyUSB0", byId);
  hCom.ListPorts({sys.c_str(), dev.c_str()});
  ASSERT_EQ(OpenComPort(0, 9600), 0) << hCom.Error();
  m_.portNumber = 1;

  adapter.CloseMaster();  // pulled, and back as ttyUSB1
  PtyPair again;
  fs::remove(dev + "/ttyUSB0");
  fs::create_symlink(again.slave_path(), dev + "/ttyUSB1");
  fs::remove(byId);
  fs::create_symlink("../../ttyUSB1", byId);
  {
    StdoutCapture capture;
    MonitorTurn(m_);
    EXPECT_TRUE(hCom.Lost());
    const auto deadline = MonitorClock::now() + std::chrono::seconds(3);
    while (hCom.Lost() && MonitorClock::now() < deadline) MonitorTurn(m_);
  }
  EXPECT_FALSE(hCom.Lost());
  // The line after "open again" is the port's line with its new path.
  const std::string log = Log();
  const std::size_t reopened = log.find("-> COM1 open again\n");
  ASSERT_NE(reopened, std::string::npos) << log;
  const std::size_t next = log.find('\n', reopened) + 1;
  const std::string line = log.substr(next, log.find('\n', next) + 1 - next);
  const std::string port =
      "-> COM1 = " + fs::canonical(again.slave_path()).string() + " (FT232R A5)\n";
  ASSERT_GE(line.size(), port.size()) << log;
  EXPECT_EQ(line.substr(line.size() - port.size()), port) << log;
}

// A USB adapter's texts are the device's: shown and logged with control
// bytes as '?', never past the buffer.
TEST(DeviceText, ControlBytesAreShownAsQuestionMarksAndTheBufferHolds) {
  const struct {
    std::string text;
    std::size_t size;
    std::string shown;
  } cases[] = {{"FTDI", 64, "FTDI"},
               {"Acme\x1b[2J\x07", 64, "Acme?[2J?"},
               {"FT232R USB UART", 7, "FT232R"},
               {"", 8, ""}};
  for (const auto& c : cases) {
    char out[64];
    const std::size_t n = RenderDeviceText(c.text.data(), c.text.size(), out, c.size);
    EXPECT_EQ(std::string(out, n), c.shown) << c.text;
    EXPECT_EQ(out[n], '\0');
  }
}

// The start dialogue, with the port number typed from a stream.
class StartDialogue : public testing::Test {
 protected:
  int Start(const std::string& typed) {
    std::FILE* in = fmemopen(const_cast<char*>(typed.data()), typed.size(), "r");
    MonitorLoop m;
    m.input = in;
    int status = 0;
    {
      StdoutCapture capture;
      status = MonitorTurn(m);
    }
    screen_ = TakeCapturedStdout();
    std::fclose(in);
    hCom.Close();
    return status;
  }
  std::string screen_;
};

TEST_F(StartDialogue, NotANumberFrom1To6AsksAgainAndEndOfInputEnds) {
  EXPECT_EQ(Start("abc\n0\n7\n-1\n" + std::string(600, '9') + "\n"), 1);
  EXPECT_EQ(Occurrences(screen_, "ComPort-Nummer [1..6]: "), 6u);
  EXPECT_EQ(screen_.find("Ready"), std::string::npos);
  EXPECT_FALSE(hCom.IsOpen());
}

// The ports present are listed before the first prompt and again after each
// port that could not be opened; a number past them is no serial port.
TEST_F(StartDialogue, PortThatCannotBeOpenedIsNamedWithTheReason) {
  EXPECT_EQ(Start("6\n0x6 trailing\n"), 1);
  const std::string failed = "COM6 cannot be opened: no such serial port\n";
  EXPECT_EQ(Occurrences(screen_, failed), 2u);
  const std::string list = screen_.substr(0, screen_.find("ComPort-Nummer"));
  ASSERT_FALSE(list.empty());
  EXPECT_TRUE(list == "No serial port found\n" || list.rfind("COM1 = /dev/", 0) == 0) << list;
  EXPECT_EQ(Occurrences(screen_, failed + list + "ComPort-Nummer [1..6]: "), 2u) << screen_;
}

}  // namespace
