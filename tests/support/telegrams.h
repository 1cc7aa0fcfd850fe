// Telegrams as the controller sends them, and the PC's answers, built here
// from their layout (start, command, length, data, 16-bit sum) rather than
// by the link code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

Bytes operator+(Bytes a, const Bytes& b);

Bytes Telegram(unsigned char start, unsigned char command, const Bytes& data);
// A value name: five bytes the monitor skips, then the name.
Bytes NameTelegram(const std::string& name);
// Signed 16-bit values, high byte first.
Bytes ValuesTelegram(const std::vector<int16_t>& values);
// The acknowledgement of telegram t (its first two bytes).
Bytes Ack(const Bytes& t, bool positive);
// A request of the PC with its identity -12, e.g. "Ra".
Bytes Request(const char* command);
// The parameter write 155 = 4.
Bytes ParamWrite();
