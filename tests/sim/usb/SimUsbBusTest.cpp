// The simulated bus: listing, descriptors, strings, error conventions,
// unplug/replug through the control file, and the KESTRAD_SIM_USB syntax.
#include "SimUsbTestUtil.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <sys/select.h>
#include <thread>

using namespace simusbtest;

namespace {

class SimUsbBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Ctl = std::string(::testing::TempDir()) + "simusb-ctl-" + std::to_string(getpid());
        std::remove(m_Ctl.c_str());
        setenv("KESTRAD_SIM_USB_CTL", m_Ctl.c_str(), 1);
    }
    void TearDown() override
    {
        std::remove(m_Ctl.c_str());
        unsetenv("KESTRAD_SIM_USB_CTL");
    }
    void Unplug(const std::string& lines) { std::ofstream(m_Ctl) << lines; }

    std::string m_Ctl;
};

TEST_F(SimUsbBus, TheTestsUseTheSimulationAndNotTheSystemLibrary)
{
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&usb_init), &info), 0);
    EXPECT_NE(std::strstr(info.dli_fname, "libusb-0.1.so.4"), nullptr) << info.dli_fname;
    char real[4096];
    ASSERT_NE(realpath(info.dli_fname, real), nullptr);
    EXPECT_NE(std::strstr(real, "kestrad-simusb"), nullptr) << real;
}

TEST_F(SimUsbBus, ListsDevicesWithTheirDescriptors)
{
    const std::string serial = UniqueSerial("K");
    const auto all = Rescan("ezusb,serial=" + serial + " ; ; ezusb , bus=2, vid=0x1234 ,pid=4660");
    ASSERT_EQ(all.size(), 2u);

    struct usb_device* first = all[0];
    EXPECT_STREQ(first->bus->dirname, "001");
    EXPECT_EQ(first->descriptor.idVendor, 0x0547);
    EXPECT_EQ(first->descriptor.idProduct, 0x1002);
    EXPECT_EQ(first->descriptor.iSerialNumber, 3);
    EXPECT_EQ(first->descriptor.bNumConfigurations, 1);
    EXPECT_EQ(std::atoi(first->filename), first->devnum);

    struct usb_device* second = all[1];
    EXPECT_STREQ(second->bus->dirname, "002");
    EXPECT_EQ(second->bus->location, 2u);
    EXPECT_EQ(second->descriptor.idVendor, 0x1234);
    EXPECT_EQ(second->descriptor.idProduct, 0x1234);
    EXPECT_EQ(second->descriptor.iSerialNumber, 0);

    const usb_config_descriptor& c = first->config[0];
    EXPECT_EQ(c.bConfigurationValue, 1);
    ASSERT_EQ(c.bNumInterfaces, 1);
    ASSERT_EQ(c.interface[0].num_altsetting, 1);
    const usb_interface_descriptor& a = c.interface[0].altsetting[0];
    EXPECT_EQ(a.bInterfaceNumber, 0);
    ASSERT_EQ(a.bNumEndpoints, 3);
    const uint8_t want[3] = {0x02, 0x04, 0x86};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(a.endpoint[i].bEndpointAddress, want[i]);
        EXPECT_EQ(a.endpoint[i].bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_BULK);
        EXPECT_EQ(a.endpoint[i].wMaxPacketSize, 512);
    }

    // The same descriptors on the wire.
    usb_dev_handle* h = usb_open(first);
    ASSERT_NE(h, nullptr);
    uint8_t dev[18];
    ASSERT_EQ(usb_get_descriptor(h, USB_DT_DEVICE, 0, dev, sizeof dev), 18);
    EXPECT_EQ(dev[8] | dev[9] << 8, 0x0547);
    EXPECT_EQ(dev[10] | dev[11] << 8, 0x1002);
    EXPECT_EQ(dev[16], 3);
    uint8_t cfg[64];
    ASSERT_EQ(usb_get_descriptor(h, USB_DT_CONFIG, 0, cfg, sizeof cfg), 9 + 9 + 3 * 7);
    EXPECT_EQ(cfg[2], 39);
    EXPECT_EQ(cfg[9 + 9 + 2], 0x02);
    EXPECT_EQ(cfg[9 + 9 + 14 + 2], 0x86);
    EXPECT_EQ(usb_close(h), 0);
}

TEST_F(SimUsbBus, StringDescriptors)
{
    const std::string serial = UniqueSerial("S");
    const auto all = Rescan("ezusb,serial=" + serial + ";ezusb");
    ASSERT_EQ(all.size(), 2u);
    usb_dev_handle* h = usb_open(all[0]);
    ASSERT_NE(h, nullptr);
    char buf[256];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(usb_get_string_simple(h, 3, buf, sizeof buf), int(serial.size()));
    EXPECT_EQ(std::string(buf), serial);
    // A short buffer keeps room for the terminating NUL.
    EXPECT_EQ(usb_get_string_simple(h, 3, buf, 3), 2);
    EXPECT_EQ(std::string(buf), serial.substr(0, 2));
    EXPECT_GT(usb_get_string_simple(h, 2, buf, sizeof buf), 0);
    EXPECT_EQ(usb_get_string_simple(h, 7, buf, sizeof buf), -EPIPE);
    EXPECT_STREQ(usb_strerror(), "error sending control message: Broken pipe");
    usb_close(h);

    h = usb_open(all[1]);  // no serial number: string 3 does not exist
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_get_string_simple(h, 3, buf, sizeof buf), -EPIPE);
    usb_close(h);
}

TEST_F(SimUsbBus, ErrorConventions)
{
    std::string before;
    std::thread([&] { before = usb_strerror(); }).join();
    EXPECT_EQ(before, "No error");

    const auto all = Rescan("ezusb,serial=" + UniqueSerial("E"));
    ASSERT_EQ(all.size(), 1u);
    CEzHandle ez(all[0]);
    ASSERT_NE(ez.get(), nullptr);

    // libftdi hands the first int of the handle to FD_SET.
    const int fd = *reinterpret_cast<int*>(ez.get());
    EXPECT_GE(fd, 0);
    EXPECT_LT(fd, FD_SETSIZE);

    char byte = 0;
    EXPECT_EQ(usb_bulk_write(ez.get(), 0x03, &byte, 1, 100), -ENOENT);
    EXPECT_STREQ(usb_strerror(), "error submitting URB: No such file or directory");
    EXPECT_EQ(usb_bulk_write(ez.get(), 0x86, &byte, 1, 100), -ENOENT);

    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    EXPECT_TRUE(ez.Read(32, 100, &status).empty());
    EXPECT_EQ(status, -110);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    // As libusb 0.1.12: a time-out keeps the text of the previous failure.
    EXPECT_STREQ(usb_strerror(), "error submitting URB: No such file or directory");

    // A second handle cannot take the claimed interface.
    usb_dev_handle* other = usb_open(all[0]);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(usb_claim_interface(other, 0), -EBUSY);
    EXPECT_STREQ(usb_strerror(), "could not claim interface 0: Device or resource busy");
    EXPECT_EQ(usb_release_interface(other, 0), -EINVAL);
    EXPECT_EQ(usb_claim_interface(other, 1), -ENOENT);
    EXPECT_EQ(usb_set_configuration(other, 2), -EINVAL);
    EXPECT_EQ(usb_detach_kernel_driver_np(other, 0), -ENODATA);
    EXPECT_EQ(usb_close(other), 0);
    EXPECT_EQ(usb_device(ez.get()), all[0]);
}

TEST_F(SimUsbBus, UnplugAndReplugThroughTheControlFile)
{
    const std::string serial = UniqueSerial("U");
    const std::string keep = UniqueSerial("V");
    auto all = Rescan("ezusb,serial=" + serial + ";ezusb,serial=" + keep);
    ASSERT_EQ(all.size(), 2u);
    struct usb_device* old = all[0];
    struct usb_device* stays = all[1];
    const uint8_t oldDevnum = old->devnum;

    CEzHandle ez(old);
    ASSERT_NE(ez.get(), nullptr);
    ASSERT_EQ(ez.Send({0xB0, 0xFF}), 2);
    ASSERT_EQ(ez.Read(1024).size(), 2u);

    // A read waiting for a reply fails as soon as the device goes away.
    std::atomic<int> waited{0};
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        int status = 0;
        ez.Read(32, 10000, &status);
        waited = status;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Unplug("# test\n  " + serial + "  \n");
    reader.join();
    EXPECT_EQ(waited.load(), -ENODEV);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    EXPECT_EQ(ez.Send({0xB0, 0xFF}), -ENODEV);
    EXPECT_STREQ(usb_strerror(), "error submitting URB: No such device");

    EXPECT_GE(usb_find_devices(), 1);
    all = Devices();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0], stays);  // a present device keeps its record
    EXPECT_EQ(usb_open(old), nullptr);
    EXPECT_NE(std::strstr(usb_strerror(), "failed to open /dev/bus/usb/001/"), nullptr) << usb_strerror();
    EXPECT_EQ(old->descriptor.idVendor, 0x0547);  // the old record stays readable

    Unplug("");
    EXPECT_GE(usb_find_devices(), 1);
    all = Devices();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1], stays);
    EXPECT_NE(all[0], old);
    EXPECT_NE(all[0]->devnum, oldDevnum);
    EXPECT_EQ(ez.Send({0xB0, 0xFF}), -ENODEV);  // the old handle stays dead

    CEzHandle again(all[0]);
    ASSERT_EQ(again.Send({0xB0, 0xFF}), 2);
    EXPECT_EQ(again.Read(1024), (std::vector<uint8_t>{0x00, 0x37}));

    // "@N" names the N-th entry.
    Unplug("@1\n");
    EXPECT_EQ(usb_find_devices(), 1);
    ASSERT_EQ(Devices().size(), 1u);
    EXPECT_EQ(Devices()[0], all[0]);
    Unplug("");
}

// The control file is kept between calls and read again when it changes:
// successive changes of the same size each take effect on the next call.
TEST_F(SimUsbBus, ControlFileChangedAtOnceTakesEffect)
{
    const std::string first = UniqueSerial("W");
    const std::string second = UniqueSerial("X");
    ASSERT_EQ(Rescan("ezusb,serial=" + first + ";ezusb,serial=" + second).size(), 2u);
    Unplug("@1\n");  // entries count from 0
    usb_find_devices();
    ASSERT_EQ(Devices().size(), 1u);
    ASSERT_NE(FindSerial(first), nullptr);
    Unplug("@0\n");
    usb_find_devices();
    EXPECT_EQ(Devices().size(), 1u);
    EXPECT_EQ(FindSerial(first), nullptr);
    EXPECT_NE(FindSerial(second), nullptr);
    Unplug("");
}

TEST_F(SimUsbBus, MalformedValuesGiveNoDevicesAndOneMessage)
{
    const std::string good = "ezusb,serial=" + UniqueSerial("M");
    ASSERT_EQ(Rescan(good).size(), 1u);
    struct usb_device* before = Devices()[0];

    const char* bad[] = {"ezusb,serial=A;bogus",
                         "ezusb,serial",
                         "ezusb,chain=0x4BA00477:99",
                         "ezusb,ver=0x10000",
                         "ezusb,colour=red",
                         "ezusb,serial=A,serial=B",
                         "ezusb,serial=A;ezusb,serial=A",
                         "ezusb,bus=0",
                         ",serial=A",
                         "ezusb,mem=/nonexistent/image.bin@0x0"};
    for (const char* value : bad) {
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(Rescan(value).empty()) << value;
        Rescan(value);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("kestrad-simusb: KESTRAD_SIM_USB: "), 0u) << value << ": " << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "reported once: " << err;
    }
    // The image error names the file.
    ::testing::internal::CaptureStderr();
    Rescan("ezusb,mem=/nonexistent/other.bin@0x0");
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("/nonexistent/other.bin"), std::string::npos);

    // Back to a good value: the same entry keeps its device model; its record is new.
    const auto all = Rescan(good);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(simusb::ModelOf(all[0]), simusb::ModelOf(before));
    EXPECT_TRUE(Rescan("").empty());
}

TEST(SimUsbSyntax, SplitsEntriesAndFields)
{
    const auto parsedEntries =
        simusb::ParseDeviceList(" ezusb , serial=K1 ,mem=a.bin@0x10, mem=b.bin@16 ;;ezusb,chain=0x4BA00477:4+bypass:5 ;");
    ASSERT_EQ(parsedEntries.size(), 2u);
    EXPECT_EQ(parsedEntries[0].model, "ezusb");
    EXPECT_EQ(parsedEntries[0].fields.at("serial"), "K1");
    EXPECT_EQ(parsedEntries[0].mems, (std::vector<std::string>{"a.bin@0x10", "b.bin@16"}));
    EXPECT_EQ(parsedEntries[1].fields.at("chain"), "0x4BA00477:4+bypass:5");
    EXPECT_TRUE(simusb::ParseDeviceList("").empty());
    EXPECT_TRUE(simusb::ParseDeviceList(" ; ").empty());
    EXPECT_THROW(simusb::ParseDeviceList("ezusb,=1"), std::invalid_argument);
    EXPECT_THROW(simusb::ParseDeviceList("ezusb,serial="), std::invalid_argument);
}

}  // namespace
