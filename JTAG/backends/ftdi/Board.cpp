// FTDI MPSSE boards (see Board.h for the devices).
#include "JTAG/backends/ftdi/Board.h"

#include <usb.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <stdexcept>

#include "JTAG/backends/ftdi/Boards.h"
#include "JTAG/usb/UsbInterface.h"
#include "log/Logger.h"

namespace ftdi {

namespace {

constexpr unsigned int kMaxFrequency = 30000000;
constexpr unsigned int kFallbackFrequency = 6000000;

}  // namespace

// ---------------------------------------------------------------- conversions

unsigned int ParseFrequency(const std::string& text)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto endsWith = [&](const char* suffix) {
        const std::string s(suffix);
        return lower.size() >= s.size() && lower.compare(lower.size() - s.size(), s.size(), s) == 0;
    };
    const std::invalid_argument invalid("invalid frequency string: " + lower);
    uint64_t multiplier;
    size_t suffix;
    if (lower.size() > 3 && endsWith("mhz")) {
        multiplier = 1000000;
        suffix = 3;
    } else if (lower.size() > 3 && endsWith("khz")) {
        multiplier = 1000;
        suffix = 3;
    } else if (lower.size() > 2 && endsWith("hz")) {
        multiplier = 1;
        suffix = 2;
    } else {
        throw invalid;
    }
    // An unsigned decimal number from the start: blanks skipped, reading
    // stops at the first non-digit ("1.5mhz" is 1 MHz).
    const std::string number = lower.substr(0, lower.size() - suffix);
    size_t i = number.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos || !std::isdigit(static_cast<unsigned char>(number[i])))
        throw invalid;
    // Saturates instead of wrapping, so a huge number is the fastest clock
    // rather than some arbitrary slow one.
    uint64_t value = 0;
    for (; i < number.size() && std::isdigit(static_cast<unsigned char>(number[i])); ++i)
        value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(number[i] - '0'), kMaxFrequency);
    const uint64_t hertz = std::min<uint64_t>(value * multiplier, kMaxFrequency);
    if (hertz == 0)
        throw invalid;  // no divisor reaches 0 Hz
    return static_cast<unsigned int>(hertz);
}

TapState CheckEndState(TapState state)
{
    for (TapState stable : kStableStates)
        if (state == stable)
            return state;
    throw std::logic_error("TapState conversion error!");
}

// ---------------------------------------------------------------- the adapter

namespace {

const char* ChipName(int type)
{
    switch (type) {
    case TYPE_AM: return "AM";
    case TYPE_BM: return "BM";
    case TYPE_2232C: return "2232C";
    case TYPE_R: return "R";
    case TYPE_2232H: return "2232H";
    case TYPE_4232H: return "4232H";
    default: return "UNKNOWN";
    }
}

bool HasMpsse(int type)
{
    return type == TYPE_2232C || type == TYPE_2232H || type == TYPE_4232H;
}

}  // namespace

CFtdiJTAG::CFtdiJTAG(struct usb_device* device, const std::string& name, const std::string& frequency,
                     const AdapterContext& context)
    : CJTAG(context), m_device(device)
{
    m_name = name;
    CLogger& log = m_context.logger;
    try {
        m_frequency = ParseFrequency(frequency);
    } catch (const std::exception& e) {
        log.LogError("Error: %s.\n", e.what());
        m_frequency = kFallbackFrequency;
        log.Log("Setting %x hz as adapter frequency\n", kFallbackFrequency);
    }

    struct ftdi_context probe;
    if (ftdi_init(&probe) < 0)
        throw std::runtime_error("couldn't open ftdi device!");
    if (ftdi_usb_open_dev(&probe, device) < 0) {
        const char* cause = ftdi_get_error_string(&probe);
        log.Log("%s: skipped: ftdi_usb_open_dev failed: %s\n", m_name.c_str(), cause ? cause : "");
        ftdi_deinit(&probe);
        throw std::runtime_error("couldn't open ftdi device!");
    }
    const int type = probe.type;
    ftdi_usb_close(&probe);
    ftdi_deinit(&probe);
    m_versionString = std::string("TYPE_") + ChipName(type);

    if (!HasMpsse(type)) {
        log.Log("%s: skipped: chip type probe found %s, which has no MPSSE engine\n", m_name.c_str(),
                m_versionString.c_str());
        throw std::runtime_error("FTDI chip " + m_versionString + " of " + m_name + " has no MPSSE engine");
    }
    // A clock above the chip's base has no divisor: treated as a bad text.
    const unsigned int base = (type == TYPE_2232H || type == TYPE_4232H) ? 30000000u : 6000000u;
    if (m_frequency > base) {
        log.LogError("Error: %s.\n",
                     ("frequency " + std::to_string(m_frequency) + " hz is above the " + std::to_string(base) +
                      " hz of " + m_versionString)
                         .c_str());
        m_frequency = kFallbackFrequency;
        log.Log("Setting %x hz as adapter frequency\n", kFallbackFrequency);
    }
}

CFtdiJTAG::~CFtdiJTAG() = default;

ScanQueue& CFtdiJTAG::Queue()
{
    if (!m_queue)
        throw std::runtime_error("FTDI adapter " + m_name + " is not open");
    return *m_queue;
}

void CFtdiJTAG::Open()
{
    // An earlier queue holds the device's interface, which a second open
    // cannot claim: it is closed first, so a failed Open leaves the adapter
    // closed.
    m_opened = false;
    m_queue.reset();
    std::lock_guard<std::recursive_mutex> claim(usb::CUsbInterface::ClaimMutex());
    m_queue = ScanQueue::Open(m_device, m_frequency, 1);
    m_opened = true;
}

void CFtdiJTAG::Close()
{
    m_opened = false;
    m_queue.reset();
}

void CFtdiJTAG::ResetAdapter() {}

void CFtdiJTAG::ReadMemBlk(unsigned int, void*, unsigned int)
{
    throw std::runtime_error("Bulk io operations aren't supported for ftdi adapters.");
}

void CFtdiJTAG::WriteMemBlk(unsigned int, const void*, unsigned int)
{
    throw std::runtime_error("Bulk io operations aren't supported for ftdi adapters.");
}

void CFtdiJTAG::SetTRST(bool level)
{
    ScanQueue& queue = Queue();
    m_trst = level;
    queue.Reset(!level, !m_sysRst);
}

void CFtdiJTAG::SetSYS_RST(bool level)
{
    ScanQueue& queue = Queue();
    m_sysRst = level;
    queue.Reset(!m_trst, !level);
}

namespace {

unsigned int CheckedDRLength(int length)
{
    if (length < 0)
        throw std::logic_error("Invalid data register length " + std::to_string(length));
    return static_cast<unsigned int>(length);
}

}  // namespace

void CFtdiJTAG::AsyncShiftIR(unsigned int value, int length, TapState end)
{
    const TapState state = CheckEndState(end);
    CheckIRLength(length);
    Queue().AsyncShiftIR(value, length, state);
}

// A data scan of 0 bits has nothing to clock and nothing to deliver.
void CFtdiJTAG::AsyncShiftDR(const unsigned char* in, int length, TapState end)
{
    const TapState state = CheckEndState(end);
    ScanQueue& queue = Queue();
    if (CheckedDRLength(length) != 0)
        queue.AsyncShiftDR(in, length, state);
}

void CFtdiJTAG::AsyncWriteDR(const unsigned char* in, int length, TapState end)
{
    const TapState state = CheckEndState(end);
    ScanQueue& queue = Queue();
    if (CheckedDRLength(length) != 0)
        queue.AsyncWriteDR(in, length, state);
}

void CFtdiJTAG::Wait(std::vector<unsigned char>& out)
{
    ScanQueue& queue = Queue();
    out.clear();
    queue.Wait(out);
}

unsigned int CFtdiJTAG::ShiftIR(unsigned int value, int length, TapState end)
{
    const TapState state = CheckEndState(end);
    CheckIRLength(length);
    return Queue().ShiftIR(value, length, state);
}

void CFtdiJTAG::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    const TapState state = CheckEndState(end);
    ScanQueue& queue = Queue();
    if (CheckedDRLength(length) != 0)
        queue.ShiftDR(in, out, length, state);
}

void CFtdiJTAG::RunTest(unsigned int count) { Queue().RunTest(count); }

void CFtdiJTAG::SetFrequency(unsigned int hertz) { Queue().SetFrequency(hertz); }

void CFtdiJTAG::DiscardResults()
{
    if (m_queue)
        m_queue->Discard();
}

usb::Kind UsbKind()
{
    return {"ftdi", [](uint16_t vendor, uint16_t product) { return IsBoard(vendor, product); },
            [](struct usb_device* device, const std::string& name, const std::string& frequency,
               const AdapterContext& context) -> std::shared_ptr<CJTAG> {
                return std::make_shared<CFtdiJTAG>(device, name, frequency, context);
            }};
}

}  // namespace ftdi
