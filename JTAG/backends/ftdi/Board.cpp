// FTDI MPSSE boards (see Board.h for the devices).
#include "JTAG/backends/ftdi/Board.h"

#include <usb.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "JTAG/core/Frequency.h"
#include "JTAG/usb/UsbInterface.h"
#include "log/Logger.h"

namespace ftdi {

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
    case TYPE_232H: return "232H";
    default: return "UNKNOWN";
    }
}

bool HasMpsse(int type)
{
    return type == TYPE_2232C || type == TYPE_2232H || type == TYPE_4232H || type == TYPE_232H;
}

}  // namespace

CFtdiJTAG::CFtdiJTAG(struct usb_device* device, const std::string& name, const std::string& frequency,
                     const AdapterContext& context, const Board& board)
    : CJTAG(context), m_device(device), m_board(board)
{
    m_name = name;
    CLogger& log = m_context.logger;
    m_frequency = ConfiguredFrequency(frequency, log);

    struct ftdi_context probe;
    if (ftdi_init(&probe) < 0)
        throw std::runtime_error("couldn't open ftdi device!");
    // The board's own channel: opening one detaches the kernel's serial
    // driver from it, and the other may be a console in use.
    ftdi_set_interface(&probe, static_cast<ftdi_interface>(INTERFACE_A + board.wiring.channel));
    // The serial number string, when the board has one; libftdi opens and
    // closes the device for it. A board that does not give it is listed
    // without one.
    if (device->descriptor.iSerialNumber != 0) {
        char serial[128] = {};
        if (ftdi_usb_get_strings(&probe, device, nullptr, 0, nullptr, 0, serial, sizeof serial) == 0)
            m_serialNumber.assign(serial, strnlen(serial, sizeof serial));
        else
            log.LogVerb("%s: no serial number: %s\n", m_name.c_str(), ftdi_get_error_string(&probe));
    }
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
    // The divisor takes the clock to the nearest the chip reaches at or below
    // it (its slowest for less): 30 MHz at most on high-speed chips, 6 MHz on
    // the others.
    m_highSpeed = type == TYPE_2232H || type == TYPE_4232H || type == TYPE_232H;
    LogClock(log, m_name, m_frequency, Frequency(), true);
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
    m_queue = ScanQueue::Open(m_device, m_board, m_frequency);
    m_opened = true;
}

void CFtdiJTAG::Close()
{
    m_opened = false;
    m_queue.reset();
}

// The board's engine is set up again at the configured clock; the reset
// lines and the target's TAP stay as they are.
void CFtdiJTAG::ResetAdapter() { Queue().ResetEngine(m_frequency); }

unsigned int CFtdiJTAG::Frequency() const { return SpeedUsed(m_highSpeed, m_frequency); }

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
    CheckIRLength(length);
    Queue().AsyncShiftIR(value, length, end);
}

// A data scan of 0 bits has nothing to clock and nothing to deliver.
void CFtdiJTAG::AsyncShiftDR(const unsigned char* in, int length, TapState end)
{
    ScanQueue& queue = Queue();
    if (CheckedDRLength(length) != 0)
        queue.AsyncShiftDR(in, length, end);
}

void CFtdiJTAG::AsyncWriteDR(const unsigned char* in, int length, TapState end)
{
    ScanQueue& queue = Queue();
    if (CheckedDRLength(length) != 0)
        queue.AsyncWriteDR(in, length, end);
}

void CFtdiJTAG::Wait(std::vector<unsigned char>& out)
{
    ScanQueue& queue = Queue();
    out.clear();
    queue.Wait(out);
}

unsigned int CFtdiJTAG::ShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    return Queue().ShiftIR(value, length, end);
}

void CFtdiJTAG::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    ScanQueue& queue = Queue();
    if (CheckedDRLength(length) != 0)
        queue.ShiftDR(in, out, length, end);
}

void CFtdiJTAG::RunTest(unsigned int count)
{
    // Millions of idle clocks take seconds at a slow clock: they go out in
    // pieces (a multiple of seven clocks, so the commands are those of one
    // run), and stop between two when the client has gone.
    for (;;) {
        const unsigned int piece = std::min(count, kRunTestPiece);
        Queue().RunTest(piece);
        count -= piece;
        if (count == 0)
            return;
        CheckStillWanted("RunTest");
    }
}

void CFtdiJTAG::SetFrequency(unsigned int hertz)
{
    // The configured clock stays for the next Open.
    LogClock(m_context.logger, m_name, hertz, Queue().SetFrequency(hertz));
}

void CFtdiJTAG::ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                              unsigned int bits)
{
    ScanQueue& queue = Queue();
    if (bits == 0)
        return;
    if (!tms || !tdi || !tdo)
        throw std::logic_error("FTDI raw sequence of " + std::to_string(bits) + " bits without its vectors");
    queue.ClockSequence(tms, tdi, tdo, bits, [this] { CheckStillWanted("ClockSequence"); });
}

void CFtdiJTAG::DiscardResults()
{
    if (m_queue)
        m_queue->Discard();
}

usb::Kind UsbKind()
{
    return {"ftdi", [](uint16_t vendor, uint16_t product) { return IsBoard(vendor, product); },
            [](struct usb_device* device, const CUsbJTAGDescription& entry, const std::string& name,
               const AdapterContext& context) -> std::shared_ptr<CJTAG> {
                const Board board = FindBoard(entry, device, name, context);
                return std::make_shared<CFtdiJTAG>(device, name, entry.frequency, context, board);
            }};
}

}  // namespace ftdi
