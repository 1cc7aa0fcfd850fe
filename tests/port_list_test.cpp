// The serial ports present, found in a sysfs tty folder and a /dev of the
// test's own: what the numbers 1 to 6 reach, the lines shown before the
// prompt, and an adapter followed by its by-id name when it comes back.
#include "port_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "files.h"
#include "monitor_loop.h"
#include "pty_pair.h"
#include "telegram_link.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

// A tty class folder and a device folder.
class PortTree : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Sys());
    fs::create_directories(Dev() + "/serial/by-id");
  }
  std::string Sys() const { return dir_.File("sys/class/tty"); }
  std::string Dev() const { return dir_.File("dev"); }

  // sysfs's entry for name: its device number and, where given, its type.
  void Kernel(const std::string& name, const std::string& dev, const std::string& type = "") {
    fs::create_directories(Sys() + "/" + name);
    WriteFile(Sys() + "/" + name + "/dev", dev + "\n");
    if (!type.empty()) WriteFile(Sys() + "/" + name + "/type", type + "\n");
  }
  // The node /dev/<name>, a link to a character device of the machine.
  void Node(const std::string& name, const std::string& target) {
    fs::create_symlink(target, Dev() + "/" + name);
  }
  // A USB device above the tty's device link, with the texts that are given.
  void Usb(const std::string& name, const std::string& manufacturer, const std::string& product,
           const std::string& serial, const std::string& vendor = "0403") {
    const std::string usb = UsbFolder(name);
    fs::create_directories(usb + "/" + name + ":1.0/" + name);
    WriteFile(usb + "/idVendor", vendor + "\n");
    WriteFile(usb + "/idProduct", "6001\n");
    const std::pair<const char*, std::string> texts[] = {
        {"manufacturer", manufacturer}, {"product", product}, {"serial", serial}};
    for (const auto& [file, text] : texts)
      if (!text.empty()) WriteFile(usb + "/" + file, text + "\n");
    fs::create_directories(Sys() + "/" + name);
    fs::create_directory_symlink(usb + "/" + name + ":1.0/" + name, Sys() + "/" + name + "/device");
  }
  std::string UsbFolder(const std::string& name) { return dir_.File("sys/devices/usb1/1-" + name); }
  // Another device plugged in under name: its vendor, its node.
  void Replug(const std::string& name, const std::string& vendor, const std::string& node) {
    WriteFile(UsbFolder(name) + "/idVendor", vendor + "\n");
    fs::remove(Dev() + "/" + name);
    Node(name, node);
  }
  // The port's device goes away, as the loop finds it: the read reports the
  // hang-up, and the loss is taken.
  static void Lose(ComPort& port, PtyPair& device) {
    device.CloseMaster();
    unsigned char b = 0;
    EXPECT_EQ(port.Receive(&b, 1, 0), 0);
    ASSERT_TRUE(port.TakeLoss());
  }
  PortRoots Roots() {
    sys_ = Sys();
    dev_ = Dev();
    return {sys_.c_str(), dev_.c_str()};
  }
  PortList List() {
    PortList list{};
    ListSerialPorts(Roots(), list);
    return list;
  }
  std::string Lines() {
    char text[kPortLinesSize];
    PortListText(List(), RenderDeviceText, text, sizeof text);
    return text;
  }
  std::string Opened(const ComPort& port) {
    char line[kPortLinesSize];
    port.OpenedText(RenderDeviceText, line, sizeof line);
    return line;
  }

  TempDir dir_;
  std::string sys_, dev_;
};

TEST_F(PortTree, NoPortAtAll) {
  EXPECT_EQ(List().count, 0);
  EXPECT_EQ(Lines(), "No serial port found\n");
  ComPort port;
  port.ListPorts(Roots());
  EXPECT_EQ(port.OpenNumber(0, 9600), -1);
  EXPECT_STREQ(port.Error(), "no such serial port");
}

// UARTs the kernel reports and nodes put in their place come first, then
// USB adapters and modems in the order of their numbers; phantom UARTs,
// missing nodes and files that are no character device are left out.
TEST_F(PortTree, PortsPresentInTheirOrder) {
  PtyPair pty;
  Kernel("ttyS0", "1:3", "4");  // a UART: /dev/null's number stands for it
  Node("ttyS0", "/dev/null");
  Kernel("ttyS1", "1:3", "0");  // no UART behind it
  Node("ttyS1", "/dev/null");
  Kernel("ttyS2", "4:66", "4");  // no node
  Kernel("ttyS3", "4:67", "0");  // the kernel's phantom, replaced by a pseudo-terminal
  Node("ttyS3", pty.slave_path());
  WriteFile(Dev() + "/ttyS4", "");  // a plain file
  Node("ttyS5", "/dev/zero");       // no sysfs entry: put there by someone
  Usb("ttyUSB10", "", "CP2102", "");
  Node("ttyUSB10", "/dev/full");
  Usb("ttyUSB2", "FTDI", "FT232R USB UART", "A50285BI");
  Node("ttyUSB2", "/dev/random");
  Usb("ttyUSB1", "FTDI", "FT232R", "B1");  // unplugged: no node
  Usb("ttyACM0", "Acme\x1b[2J", "Modem\x07", "");
  Node("ttyACM0", "/dev/urandom");

  const PortList list = List();
  ASSERT_EQ(list.count, 6);
  const char* expected[] = {"/ttyS0", "/ttyS3", "/ttyS5", "/ttyUSB2", "/ttyUSB10", "/ttyACM0"};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(list.entries[i].path, Dev() + expected[i]) << i;
  EXPECT_STREQ(list.entries[3].manufacturer, "FTDI");
  EXPECT_STREQ(list.entries[3].serial, "A50285BI");

  const std::string d = Dev();
  EXPECT_EQ(Lines(), "COM1 = " + d + "/ttyS0\nCOM2 = " + d + "/ttyS3\nCOM3 = " + d +
                         "/ttyS5\nCOM4 = " + d +
                         "/ttyUSB2 (FTDI FT232R USB UART A50285BI)\nCOM5 = " + d +
                         "/ttyUSB10 (CP2102)\nCOM6 = " + d + "/ttyACM0 (Acme?[2J Modem?)\n");
  // The number reaches the port in its place.
  ComPort port;
  port.ListPorts(Roots());
  ASSERT_EQ(port.OpenNumber(1, 9600), 0) << port.Error();
  EXPECT_EQ(Opened(port), "COM2 = " + d + "/ttyS3");
}

TEST_F(PortTree, AtMostSixPorts) {
  const char* nodes[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"};
  for (int n = 0; n < 8; ++n) {
    Usb("ttyUSB" + std::to_string(n), "", "", "");
    Node("ttyUSB" + std::to_string(n), nodes[n % 5]);
  }
  const PortList list = List();
  ASSERT_EQ(list.count, kPortListMax);
  EXPECT_EQ(std::string(list.entries[5].path), Dev() + "/ttyUSB5");
  EXPECT_EQ(Lines().find(" ("), std::string::npos);  // no texts, no brackets
}

// Without a readable sysfs (a container) the ports are the character devices
// in /dev, without names: USB adapters and modems first, then ttyS0..ttyS5.
TEST_F(PortTree, WithoutSysfsTheCharacterDevicesInDevUsbFirst) {
  fs::remove_all(dir_.File("sys"));
  for (const char* name : {"ttyS0", "ttyS3", "ttyS4", "ttyS5", "ttyACM0", "ttyUSB10", "ttyUSB2"})
    Node(name, "/dev/null");
  WriteFile(Dev() + "/ttyUSB1", "");  // no character device
  std::string expected;
  const char* shown[] = {"ttyUSB2", "ttyUSB10", "ttyACM0", "ttyS0", "ttyS3", "ttyS4"};
  for (int i = 0; i < 6; ++i)
    expected += std::string(ComPortName(i)) + " = " + Dev() + "/" + shown[i] + "\n";
  EXPECT_EQ(Lines(), expected);
}

// An adapter with a serial number is reopened only through its by-id name:
// not while the name is missing, though another adapter has its old name,
// and its path changes only once an open of the new path has succeeded.
TEST_F(PortTree, AnAdapterWithASerialNumberIsReopenedOnlyThroughItsByIdName) {
  PtyPair first, other, second;
  const std::string byId = Dev() + "/serial/by-id/usb-FTDI_FT232R_A5-if00-port0";
  Usb("ttyUSB0", "FTDI", "FT232R", "A5");
  Node("ttyUSB0", first.slave_path());
  fs::create_symlink("../../ttyUSB0", byId);
  Usb("ttyACM0", "", "Modem", "");  // no serial number: its by-id name is not used
  Node("ttyACM0", "/dev/null");
  fs::create_symlink("../../ttyACM0", Dev() + "/serial/by-id/usb-Modem-if00");
  const PortList list = List();
  ASSERT_EQ(list.count, 2);
  EXPECT_EQ(std::string(list.entries[0].byId), byId);
  EXPECT_STREQ(list.entries[1].byId, "");

  ComPort port;
  port.ListPorts(Roots());
  ASSERT_EQ(port.OpenNumber(0, 9600), 0) << port.Error();
  Lose(port, first);
  EXPECT_EQ(port.RetryIfDue(9600), ComPort::Retry::NotDue);  // a second after the loss
  using R = ComPort::Retry;
  fs::remove(byId);
  Replug("ttyUSB0", "0403", other.slave_path());  // another adapter, the old name
  EXPECT_EQ(port.RetryIfDue(9600, port.RetryDue()), R::Failed);
  EXPECT_FALSE(port.IsOpen());
  fs::create_directory(dir_.File("not-yet"));  // back as ttyUSB1, not ready yet
  Node("ttyUSB1", dir_.File("not-yet"));
  fs::create_symlink("../../ttyUSB1", byId);
  EXPECT_EQ(port.RetryIfDue(9600, port.RetryDue()), R::Failed);
  fs::remove(Dev() + "/ttyUSB1");
  Node("ttyUSB1", second.slave_path());
  EXPECT_EQ(port.RetryIfDue(9600, port.RetryDue()), R::Moved) << port.Error();
  EXPECT_EQ(Opened(port),
            "COM1 = " + fs::canonical(second.slave_path()).string() + " (FTDI FT232R A5)");
}

// A USB port without a serial number is reopened at its old path only while
// the same kind of device is there; the tenth failure in a row lists the
// ports present anew, and the port keeps what identifies it.
TEST_F(PortTree, AUsbPortWithoutASerialNumberComesBackOnlyAsTheSameKindOfDevice) {
  PtyPair first, other, again;
  Usb("ttyUSB0", "", "CP2102", "", "10c4");
  Node("ttyUSB0", first.slave_path());
  ComPort port;
  port.ListPorts(Roots());
  ASSERT_EQ(port.OpenNumber(0, 9600), 0) << port.Error();
  Lose(port, first);
  using R = ComPort::Retry;
  Replug("ttyUSB0", "0403", other.slave_path());  // another vendor's device
  Usb("ttyACM0", "", "Modem", "");
  Node("ttyACM0", "/dev/null");
  for (int i = 1; i < ComPort::kRetriesBeforeList; ++i)
    EXPECT_EQ(port.RetryIfDue(9600, port.RetryDue()), R::Failed) << i;
  EXPECT_EQ(port.RetryIfDue(9600, port.RetryDue()), R::StillAway);
  EXPECT_EQ(port.RetryIfDue(9600, port.RetryDue()), R::Failed);  // said once per loss
  char text[kPortLinesSize];
  port.PortsText(RenderDeviceText, text, sizeof text);
  const std::string d = Dev();
  EXPECT_EQ(std::string(text),
            "COM1 = " + d + "/ttyUSB0 (CP2102)\nCOM2 = " + d + "/ttyACM0 (Modem)\n");
  Replug("ttyUSB0", "10c4", again.slave_path());
  EXPECT_EQ(port.RetryIfDue(9600, port.RetryDue()), R::Opened) << port.Error();
  EXPECT_EQ(Opened(port), "COM1 = " + d + "/ttyUSB0 (CP2102)");
}

}  // namespace
