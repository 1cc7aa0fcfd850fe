// Telegrams: checksum, packed BCD, the exact bytes of every sender (read
// back from a real pseudo-terminal), and trace-line rendering.
#include "telegram_link.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "print_log.h"
#include "pty_pair.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Render(int kind, const Bytes& data) {
  char line[kTraceLineMax];
  RenderComLog(kind, data.data(), static_cast<int>(data.size()), line);
  return line;
}

TEST(Checksum, SumsUnsignedBytesModulo65536) {
  const Bytes t = {0x4D, 0x41, 0x01, 0x01};
  unsigned char out[2];
  CreateCheckSum(t.data(), 4, out);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0x90);

  Bytes big(300, 0xFF);  // 76500 = 0x12AD4: the low 16 bits remain
  CreateCheckSum(big.data(), 300, out);
  EXPECT_EQ(out[0], 0x2A);
  EXPECT_EQ(out[1], 0xD4);
  big.push_back(0x2A);
  big.push_back(0xD4);
  EXPECT_EQ(checkCheckSum(big.data(), 302), 1);
  big.back() ^= 1;
  EXPECT_EQ(checkCheckSum(big.data(), 302), 0);
}

TEST(Checksum, ShortLengthsAreNoTelegram) {
  const Bytes two = {0x00, 0x00};
  EXPECT_EQ(checkCheckSum(two.data(), 2), 1);  // empty sum, zero checksum
  EXPECT_EQ(checkCheckSum(two.data(), 1), 0);
  EXPECT_EQ(checkCheckSum(two.data(), 0), 0);
}

TEST(PackedBcd, BothDirections) {
  EXPECT_EQ(convert_VarnhaltTime(0x59), 59);
  EXPECT_EQ(convert_VarnhaltTime(0x80), 80);
  EXPECT_EQ(convert_VarnhaltTime(0x99), 99);
  EXPECT_EQ(convert_VarnhaltTime(0x00), 0);
  EXPECT_EQ(convert_VarnhaltTime(0xFF), 165);  // not BCD: still a defined number
  EXPECT_EQ(convert_2_VarnhaltTime(0), 0x00);
  EXPECT_EQ(convert_2_VarnhaltTime(7), 0x07);
  EXPECT_EQ(convert_2_VarnhaltTime(59), 0x59);
  for (int v = 0; v <= 99; ++v) EXPECT_EQ(convert_VarnhaltTime(convert_2_VarnhaltTime(v)), v);
}

TEST(Builders, WorkedExamples) {
  const Bytes ma = {'M', 'A'};
  unsigned char ack[6];
  BuildAck(ma.data(), true, ack);
  EXPECT_EQ(Bytes(ack, ack + 6), (Bytes{0x4D, 0x41, 0x01, 0x01, 0x00, 0x90}));
  BuildAck(ma.data(), false, ack);
  EXPECT_EQ(Bytes(ack, ack + 6), (Bytes{0x4D, 0x41, 0x01, 0x00, 0x00, 0x8F}));

  unsigned char pw[9];
  EXPECT_EQ(BuildParamWrite(155, 4, pw), 9);
  EXPECT_EQ(Bytes(pw, pw + 9), (Bytes{0x52, 0x49, 0x04, 0x00, 0x9B, 0x00, 0x04, 0x01, 0x3E}));

  unsigned char rq[8];
  EXPECT_EQ(BuildRequest("Rabc", -12, rq), 8);  // only two characters count
  EXPECT_EQ(Bytes(rq, rq + 8), (Bytes{'R', 'a', 0x03, 0x00, 0xFF, 0xF4, 0x02, 0xA9}));
  BuildRequest("", -12, rq);  // nothing is read past a short text
  EXPECT_EQ(rq[0], 0);
  EXPECT_EQ(rq[1], 0);
}

TEST(TraceLine, LettersDigitsAndHexDump) {
  const Bytes pw = {0x52, 0x49, 0x04, 0x00, 0x9B, 0x00, 0x04, 0x01, 0x3E};
  EXPECT_EQ(Render(kTraceSent, pw), "<<< RI {52 49 04 00 9b 00 04 01 3e }");
  EXPECT_EQ(Render(kTraceSent, {0x4D, 0x00, 0x01, 0x00, 0x00, 0x4E}),
            "<<< MN {4d 00 01 00 00 4e }");
  EXPECT_EQ(Render(kTraceReceived, {0x01, 0xFF, ' '}), ">>>  {01 ff 20 }");
  const std::string text = "Unvalid telegram startvalue";
  EXPECT_EQ(Render(kTraceError, Bytes(text.begin(), text.end())), "ERR Unvalidtelegramstartvalue");
  EXPECT_EQ(Render(kTraceInfo, {'o', 'k', 0xE4}), "INFok");
  EXPECT_EQ(Render(7, {'x'}), "");
}

TEST(TraceLine, LongDataStaysInsideTheLine) {
  const Bytes all(1000, 'A');
  const std::string line = Render(kTraceReceived, all);
  EXPECT_EQ(line.size(), static_cast<std::size_t>(kTraceLineMax - 1));
  EXPECT_EQ(line.substr(0, 8), ">>> AAAA");
}

// The senders, read back from the line, with the trace lines they leave.
class Senders : public testing::Test {
 protected:
  void SetUp() override {
    printlog_init(dir_.File("comlog").c_str(), 1, 1 << 20);
    ASSERT_EQ(OpenComPortPath(pty_.slave_path().c_str(), 9600), 0);
    glsUserID = -12;
  }
  void TearDown() override {
    hCom.Close();
    printlog_init("", 0, 0);
  }
  Bytes Line(std::size_t n) { return pty_.ReadExactly(n, 1000); }
  std::string Log() const { return ReadFile(dir_.File("comlog.log")); }
  PtyPair pty_;
  TempDir dir_;
};

TEST_F(Senders, RequestsAndParameterWriteAreTraced) {
  Send_Msg("Ra");
  EXPECT_EQ(Line(8), (Bytes{'R', 'a', 0x03, 0x00, 0xFF, 0xF4, 0x02, 0xA9}));
  Send_Msg("Rb");
  EXPECT_EQ(Line(8), (Bytes{'R', 'b', 0x03, 0x00, 0xFF, 0xF4, 0x02, 0xAA}));
  Set_ParamValue(155, 4);
  EXPECT_EQ(Line(9), (Bytes{0x52, 0x49, 0x04, 0x00, 0x9B, 0x00, 0x04, 0x01, 0x3E}));
  Set_ParamValue(0x1009B, 0x10004);  // only the low 16 bits count
  EXPECT_EQ(Line(9), (Bytes{0x52, 0x49, 0x04, 0x00, 0x9B, 0x00, 0x04, 0x01, 0x3E}));
  const std::string log = Log();
  EXPECT_NE(log.find("-> <<< Ra {52 61 03 00 ff f4 02 a9 }\n"), std::string::npos);
  EXPECT_NE(log.find("-> <<< Rb {52 62 03 00 ff f4 02 aa }\n"), std::string::npos);
  EXPECT_NE(log.find("-> <<< RI {52 49 04 00 9b 00 04 01 3e }\n"), std::string::npos);
}

TEST_F(Senders, OnlyTheNegativeAcknowledgementIsTraced) {
  const Bytes t = {'M', 'A', 0x00, 0x00, 0x8E};
  sendAcq(t.data(), 5);
  EXPECT_EQ(Line(6), (Bytes{0x4D, 0x41, 0x01, 0x01, 0x00, 0x90}));
  EXPECT_EQ(Log(), "");
  sendNAcq(t.data(), 5);
  EXPECT_EQ(Line(6), (Bytes{0x4D, 0x41, 0x01, 0x00, 0x00, 0x8F}));
  EXPECT_NE(Log().find("-> <<< MA {4d 41 01 00 00 8f }\n"), std::string::npos);
  sendAcq(t.data(), 1);  // too short to answer: nothing is sent
  sendNAcq(t.data(), 0);
  EXPECT_TRUE(pty_.Read(50).empty());
}

TEST_F(Senders, ClockSettingCarriesTheLocalTimeInBcdUntraced) {
  const std::time_t before = std::time(nullptr);
  Set_Time();
  const Bytes t = Line(12);
  ASSERT_EQ(t.size(), 12u);
  EXPECT_EQ(t[0], 'R');
  EXPECT_EQ(t[1], '2');
  EXPECT_EQ(t[2], 7);
  EXPECT_EQ(checkCheckSum(t.data(), 12), 1);
  const std::tm lt = *std::localtime(&before);
  EXPECT_EQ(convert_VarnhaltTime(t[6]), lt.tm_mday);
  EXPECT_EQ(convert_VarnhaltTime(t[7]), lt.tm_mon + 1);
  EXPECT_EQ(convert_VarnhaltTime(t[8]), lt.tm_wday);
  EXPECT_EQ(convert_VarnhaltTime(t[9]), lt.tm_year - 100);
  EXPECT_LT(convert_VarnhaltTime(t[3]), 60);
  EXPECT_EQ(Log(), "");
}

}  // namespace
