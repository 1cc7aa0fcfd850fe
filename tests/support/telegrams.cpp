#include "telegrams.h"

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Telegram(unsigned char start, unsigned char command, const Bytes& data) {
  Bytes t = {start, command, static_cast<unsigned char>(data.size())};
  t.insert(t.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (unsigned char b : t) sum += b;
  t.push_back(static_cast<unsigned char>((sum >> 8) & 0xFF));
  t.push_back(static_cast<unsigned char>(sum & 0xFF));
  return t;
}

Bytes NameTelegram(const std::string& name) {
  Bytes data(5, 0);
  data.insert(data.end(), name.begin(), name.end());
  return Telegram('M', 'A', data);
}

Bytes ValuesTelegram(const std::vector<int16_t>& values) {
  Bytes data;
  for (int16_t v : values) {
    data.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
    data.push_back(static_cast<unsigned char>(v & 0xFF));
  }
  return Telegram('M', '1', data);
}

Bytes Ack(const Bytes& t, bool positive) {
  return Telegram(t.at(0), t.at(1), {static_cast<unsigned char>(positive ? 1 : 0)});
}

Bytes Request(const char* command) {
  return Telegram(static_cast<unsigned char>(command[0]), static_cast<unsigned char>(command[1]),
                  {0x00, 0xFF, 0xF4});
}

Bytes ParamWrite() { return Telegram('R', 'I', {0x00, 0x9B, 0x00, 0x04}); }
