// CUsbInterface checks that need no device, and the choice of back-end per
// vendor and product id through the table of USB kinds.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "JTAG/Sources.h"
#include "JTAG/core/JTAG.h"
#include "JTAG/usb/BusScan.h"
#include "JTAG/usb/UsbInterface.h"
#include "config/Description.h"
#include "tests/support/TestContext.h"

namespace {

// Claims to be open without a device, to reach the endpoint checks that come
// before any libusb call.
class COpenWithoutDevice : public usb::CUsbInterface {
public:
    explicit COpenWithoutDevice(CLogger& log) : usb::CUsbInterface(nullptr, log) { m_opened = true; }
    ~COpenWithoutDevice() override { m_opened = false; }  // nothing to release
};

std::string MessageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

CUsbJTAGDescription Entry(const char* frequency)
{
    CUsbJTAGDescription entry;
    entry.frequency = frequency;
    return entry;
}

struct usb_device FakeDevice(uint16_t vendor, uint16_t product)
{
    struct usb_device device;
    std::memset(&device, 0, sizeof device);
    device.descriptor.idVendor = vendor;
    device.descriptor.idProduct = product;
    return device;
}

TEST(UsbInterface, ClosedInterfaceRefusesTransfers)
{
    CTestContext context;
    usb::CUsbInterface usb(nullptr, context.Logger());
    const usb::CEndPoint out{usb::ENDPOINT_BULK_OUT, 0x02};
    const usb::CEndPoint in{usb::ENDPOINT_BULK_IN, 0x86};
    char buffer[4] = {};
    EXPECT_EQ("Usb interface is not open.", MessageOf([&] { usb.Write(out, buffer, 4); }));
    EXPECT_EQ("Usb interface is not open.", MessageOf([&] { usb.Read(in, buffer, 4); }));
    // Closing what is not open does nothing; a missing device cannot be opened.
    usb.Close();
    EXPECT_THROW(usb.Open(), std::runtime_error);
    EXPECT_TRUE(usb.GetEndPoints().empty());
}

TEST(UsbInterface, EndpointKindsAreCheckedBeforeTheBus)
{
    CTestContext context;
    COpenWithoutDevice usb(context.Logger());
    char buffer[4] = {};
    const usb::CEndPoint bulkIn{usb::ENDPOINT_BULK_IN, 0x86};
    EXPECT_EQ("Invalid endpoint is specified for usb_bulk_write()", MessageOf([&] { usb.Write(bulkIn, buffer, 4); }));
    for (uint8_t kind : {uint8_t(usb::ENDPOINT_BULK_OUT), uint8_t(usb::ENDPOINT_BULK_OUT2), uint8_t(7)}) {
        const usb::CEndPoint record{kind, 0x02};
        EXPECT_EQ("Invalid endpoint is specified for usb_bulk_read()", MessageOf([&] { usb.Read(record, buffer, 4); }))
            << int(kind);
    }
}

TEST(UsbInterface, BackEndIsChosenByVendorAndProduct)
{
    const struct {
        uint16_t vendor, product;
        const char* kind;
    } cases[] = {
        {0x1366, 0x0101, "jlink"},     {0x0403, 0x6010, "ftdi"},      {0x15BA, 0x002A, "ftdi"},
        {0x0403, 0x6014, "ftdi"},      {0x15BA, 0x002B, "ftdi"},      {0x0D28, 0x0204, "cmsis-dap"},
        {0x2E8A, 0x000C, "cmsis-dap"}, {0x1FC9, 0x0090, "cmsis-dap"}, {0x0547, 0x1002, "ezusb"},
        {0x0403, 0x6001, "ezusb"},  // an FTDI serial cable
        {0x1366, 0x0105, "ezusb"},
    };
    for (const auto& c : cases) {
        const usb::Kind* kind = usb::FindKind(UsbKinds(), c.vendor, c.product);
        ASSERT_NE(nullptr, kind);
        EXPECT_STREQ(c.kind, kind->name) << std::hex << c.vendor << ":" << c.product;
    }
    // A table without a last resort takes only what it names.
    const std::vector<usb::Kind> jlinkOnly(UsbKinds().begin(), UsbKinds().begin() + 1);
    EXPECT_EQ(nullptr, usb::FindKind(jlinkOnly, 0x0547, 0x1002));
}

TEST(UsbInterface, DevicesWithoutABackEndAreRefusedByCreation)
{
    CTestContext context;
    // A J-Link reaches its back-end, which refuses a device without endpoints.
    struct usb_device jlink = FakeDevice(0x1366, 0x0101);
    EXPECT_EQ("J-Link J-Link0 has no bulk IN endpoint; the device is skipped.",
              MessageOf([&] { usb::CreateAdapter(UsbKinds(), &jlink, Entry("12MHZ"), "J-Link0", context); }));
}

}  // namespace
