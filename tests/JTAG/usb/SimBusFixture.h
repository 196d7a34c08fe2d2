// A test fixture for back-ends over the simulated USB bus: it lays out the
// bus (KESTRAD_SIM_USB), scans it as kestrad does against the built-in
// configuration or the entries a test gives, and reaches the device models
// the back-ends talk to. Include the model's header before this one (usb.h
// declares a function named usb_device, which hides the struct name).
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/Sources.h"
#include "JTAG/usb/BusScan.h"
#include "config/Description.h"
#include "tests/support/TestContext.h"

template <class Model>
class SimBusFixture : public ::testing::Test {
protected:
    void TearDown() override
    {
        m_adapters.clear();
        unsetenv("KESTRAD_SIM_USB");
        if (!m_config.empty())
            unlink(m_config.c_str());
    }

    // Scans a bus holding `devices` against the built-in configuration, or
    // against `entries` (elements of jtag_options) when given.
    void Scan(const std::string& devices, const std::string& entries = "")
    {
        setenv("KESTRAD_SIM_USB", devices.c_str(), 1);
        if (!entries.empty()) {
            m_config = "/tmp/kestrad-simbus-" + std::to_string(getpid()) + ".xml";
            std::ofstream(m_config) << "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n" << entries
                                    << "</jtag_options>\n";
            m_context.Description().LoadFromXML(m_config);
        }
        m_context.ClearLog();
        m_adapters.clear();
        usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    }

    // The model of the bus's i-th device.
    static Model& DeviceModel(size_t i)
    {
        size_t n = 0;
        for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
            for (struct usb_device* dev = bus->devices; dev; dev = dev->next)
                if (n++ == i)
                    return *static_cast<Model*>(simusb::ModelOf(dev));
        throw std::out_of_range("no device " + std::to_string(i));
    }

    CTestContext m_context;
    std::string m_config;
    std::vector<std::shared_ptr<CJTAG>> m_adapters;
};
