// FTDI MPSSE boards (see FtdiJTAG.h for the devices).
#include "JTAG/backends/ftdi/Board.h"

#include <usb.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "JTAG/usb/UsbInterface.h"
#include "log/Logger.h"

// ---------------------------------------------------------------- board table

namespace {

using BoardTable = std::map<std::pair<uint16_t, uint16_t>, FtdiAdapterConstructor>;

template <typename Board>
void AddCreateAdapterConstructor(BoardTable& table, uint16_t vendor, uint16_t product)
{
    table[{vendor, product}] = [](struct usb_device* device, unsigned int hertz) {
        return std::unique_ptr<ftdi::Adapter>(new Board(device, hertz));
    };
}

const BoardTable& Boards()
{
    static BoardTable table;
    static std::once_flag once;
    std::call_once(once, [] {
        AddCreateAdapterConstructor<ftdi::Flyswatter2>(table, 0x0403, 0x6010);
        AddCreateAdapterConstructor<ftdi::Olimex>(table, 0x15BA, 0x002A);
    });
    return table;
}

constexpr unsigned int kMaxFrequency = 30000000;
constexpr unsigned int kFallbackFrequency = 6000000;

}  // namespace

FtdiAdapterConstructor GetAdapterConstructor(uint16_t vendor, uint16_t product)
{
    const BoardTable& table = Boards();
    const auto it = table.find({vendor, product});
    return it == table.end() ? FtdiAdapterConstructor() : it->second;
}

bool IsFtdiJTAGBoard(uint16_t vendor, uint16_t product)
{
    return Boards().count({vendor, product}) != 0;
}

bool IsDeviceFtdiJTAG(struct usb_device* device)
{
    return device && IsFtdiJTAGBoard(device->descriptor.idVendor, device->descriptor.idProduct);
}

// ---------------------------------------------------------------- conversions

unsigned int ParseFtdiFrequency(const std::string& text)
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

ftdi::TapState ConvertTapStateType(TapStateMachine::State state)
{
    switch (state) {
    case TapStateMachine::TEST_LOGIC_RESET: return ftdi::TEST_LOGIC_RESET;
    case TapStateMachine::RUN_TEST_IDLE: return ftdi::RUN_TEST_IDLE;
    case TapStateMachine::SHIFT_DR: return ftdi::SHIFT_DR;
    case TapStateMachine::SHIFT_IR: return ftdi::SHIFT_IR;
    case TapStateMachine::PAUSE_DR: return ftdi::PAUSE_DR;
    case TapStateMachine::PAUSE_IR: return ftdi::PAUSE_IR;
    default: break;
    }
    throw std::logic_error("TapState conversion error!");
}

// ---------------------------------------------------------------- CFtdiJTAGImpl

ftdi::CommandBuffer::FlushFunction GetFlushFunction(CFtdiJTAGImpl* impl)
{
    return [impl](const unsigned char* data, unsigned int size) { impl->FlushBuffer(data, size); };
}

std::unique_ptr<CFtdiJTAGImpl> CreatePimpl(struct usb_device* device, unsigned long frequency,
                                           unsigned int initialInstruction)
{
    const uint16_t vendor = device->descriptor.idVendor;
    const uint16_t product = device->descriptor.idProduct;
    const FtdiAdapterConstructor construct = GetAdapterConstructor(vendor, product);
    if (!construct)
        throw std::runtime_error(std::string("unsupported adapter type") + " (PID " + std::to_string(product) +
                                 ", VID " + std::to_string(vendor) + ")");
    std::unique_ptr<ftdi::Adapter> board = construct(device, static_cast<unsigned int>(frequency));
    return std::unique_ptr<CFtdiJTAGImpl>(new CFtdiJTAGImpl(std::move(board), initialInstruction));
}

CFtdiJTAGImpl::CFtdiJTAGImpl(std::unique_ptr<ftdi::Adapter> adapter, unsigned int initialInstruction)
    : m_adapter(std::move(adapter)), m_lastInstruction(initialInstruction), m_buffer(256, GetFlushFunction(this))
{
    // A TRST pulse straight through the GPIO lines, then seven TMS-high
    // clocks and 100 idle clocks: the TAP ends in Run-Test/Idle.
    m_adapter->Reset(1, 0);
    m_adapter->Reset(0, 0);
    ExecuteCommands([](ftdi::CommandBuilder& builder) {
        builder.Reset();
        builder.RunTest(100);
    });
}

// Writes nothing: the board's destructor closes the device.
CFtdiJTAGImpl::~CFtdiJTAGImpl() = default;

void CFtdiJTAGImpl::ExecuteCommands(const std::function<void(ftdi::CommandBuilder&)>& commands)
{
    ftdi::CommandBuilder builder(m_buffer, m_state);
    commands(builder);
    m_state = builder.CurrentState();
    m_buffer.Flush();
}

void CFtdiJTAGImpl::FlushBuffer(const unsigned char* data, unsigned int size)
{
    m_adapter->Write(data, size);
    if (m_pending && m_expected != 0) {
        const size_t at = m_raw.size();
        m_raw.resize(at + m_expected);
        try {
            m_adapter->Read(m_raw.data() + at, static_cast<int>(m_expected));
        } catch (...) {
            m_raw.resize(at);
            throw;
        }
        m_expected = 0;
    }
}

void CFtdiJTAGImpl::AsyncShiftIR(unsigned int value, int length, ftdi::TapState end)
{
    m_pending = true;
    ftdi::CommandBuilder builder(m_buffer, m_state);
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    builder.ScanIrOut(bytes, static_cast<unsigned int>(length));
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.CurrentState();

    // The instruction register is not read back: the result is the value the
    // previous scan shifted in.
    const unsigned int previous = m_lastInstruction;
    m_lastInstruction = value;
    const size_t resultBytes = std::min<size_t>((static_cast<unsigned int>(length) + 7) / 8, 4);
    m_handlers.push_back([previous, resultBytes](ByteIterator, ByteIterator, std::vector<unsigned char>& results) {
        for (size_t i = 0; i < resultBytes; ++i)
            results.push_back(static_cast<unsigned char>(previous >> (8 * i)));
        return 0u;
    });
}

// The chip holds only a few KiB of TDO data for the host and stops taking
// commands while it is full, so a flush must not make it send much more than
// that before its bytes are read: a long scan goes out in parts of this many
// bytes, each written and read back by a flush of its own.
static constexpr unsigned int kReadBackPart = 2048;

void CFtdiJTAGImpl::AsyncShiftDR(const unsigned char* in, int length, ftdi::TapState end)
{
    if (length <= 0)
        throw std::logic_error("Invalid data register length " + std::to_string(length));
    m_pending = true;
    ftdi::CommandBuilder builder(m_buffer, m_state);
    const unsigned int bits = static_cast<unsigned int>(length);
    // The parts before the last read back one byte per byte, as the single
    // byte command would: the scan's read-back layout stays the same.
    unsigned int sent = 0;
    while ((bits - 1) / 8 - sent > kReadBackPart) {
        if (builder.CurrentState() != ftdi::SHIFT_DR)
            builder.Move(ftdi::SHIFT_DR);
        builder.ShiftBytes(ftdi::SCAN_IO, in + sent, kReadBackPart);
        m_state = builder.CurrentState();
        m_expected += kReadBackPart;
        m_buffer.Flush();
        sent += kReadBackPart;
    }
    const unsigned int readBack = sent + builder.ScanDrIO(in + sent, bits - 8 * sent);
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.CurrentState();
    m_handlers.push_back(
        [readBack, length](ByteIterator position, ByteIterator end, std::vector<unsigned char>& results) {
            if (end - position < static_cast<std::ptrdiff_t>(readBack))
                throw std::runtime_error("FTDI read-back is missing bytes of a " + std::to_string(length) +
                                         "-bit scan");
            const std::vector<unsigned char> raw(position, position + readBack);
            const std::vector<unsigned char> captured = ftdi::ReadScanChain(raw, length);
            results.insert(results.end(), captured.begin(), captured.end());
            return readBack;
        });
    m_expected += readBack - sent;  // the parts were read by their flushes
}

void CFtdiJTAGImpl::AsyncWriteDR(const unsigned char* in, int length, ftdi::TapState end)
{
    m_pending = true;
    ftdi::CommandBuilder builder(m_buffer, m_state);
    builder.ScanDrOut(in, static_cast<unsigned int>(length));
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.CurrentState();
}

void CFtdiJTAGImpl::Wait(std::vector<unsigned char>& results)
{
    if (!m_pending)
        return;
    m_buffer.Flush();
    size_t consumed = 0;
    while (!m_handlers.empty()) {
        const ByteIterator position = m_raw.cbegin() + static_cast<std::ptrdiff_t>(consumed);
        consumed += m_handlers.front()(position, m_raw.cend(), results);
        m_handlers.pop_front();
    }
    m_pending = false;
    m_raw.clear();
}

void CFtdiJTAGImpl::Discard()
{
    // Commands already built still go to the chip, so the TAP state kept
    // here stays true; the bytes they bring back are dropped with the queue.
    try {
        m_buffer.Flush();
    } catch (const std::exception&) {
        // The chip is in an unknown state now; the session closes the adapter.
    }
    m_handlers.clear();
    m_raw.clear();
    m_expected = 0;
    m_pending = false;
}

unsigned int CFtdiJTAGImpl::ShiftIR(unsigned int value, int length, ftdi::TapState end)
{
    AsyncShiftIR(value, length, end);
    std::vector<unsigned char> results;
    Wait(results);
    unsigned int captured = 0;
    for (size_t i = 0; i < results.size() && i < 4; ++i)
        captured |= static_cast<unsigned int>(results[i]) << (8 * i);
    return captured;
}

void CFtdiJTAGImpl::ShiftDR(const unsigned char* in, unsigned char* out, int length, ftdi::TapState end)
{
    AsyncShiftDR(in, length, end);
    std::vector<unsigned char> results;
    Wait(results);
    std::copy(results.begin(), results.end(), out);
}

void CFtdiJTAGImpl::Reset(bool assertTrst, bool assertSrst)
{
    m_adapter->Reset(assertTrst, assertSrst);
    if (m_trstAsserted && !assertTrst) {
        // Released from TRST, the TAP sits in Test-Logic-Reset.
        m_state = ftdi::TEST_LOGIC_RESET;
        ExecuteCommands([](ftdi::CommandBuilder& builder) { builder.RunTest(100); });
    }
    m_trstAsserted = assertTrst;
}

void CFtdiJTAGImpl::RunTest(unsigned int count)
{
    ExecuteCommands([count](ftdi::CommandBuilder& builder) { builder.RunTest(count); });
}

void CFtdiJTAGImpl::SetFrequency(unsigned int hertz)
{
    const unsigned int base = m_adapter->IsHighSpeed() ? 30000000u : 6000000u;
    if (hertz == 0 || hertz > base)
        throw std::logic_error("JTAG frequency " + std::to_string(hertz) + " Hz is outside 1.." +
                               std::to_string(base) + " Hz of this FTDI chip");
    m_adapter->SetSpeed(hertz);
}

// ---------------------------------------------------------------- CFtdiJTAG

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
        m_frequency = ParseFtdiFrequency(frequency);
    } catch (const std::exception& e) {
        log.LogError("Error: %s.\n", e.what());
        m_frequency = kFallbackFrequency;
        log.Log("Setting %x hz as adapter frequency", kFallbackFrequency);
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
        log.Log("Setting %x hz as adapter frequency", kFallbackFrequency);
    }
}

CFtdiJTAG::~CFtdiJTAG() = default;

CFtdiJTAGImpl& CFtdiJTAG::Impl()
{
    if (!m_impl)
        throw std::runtime_error("FTDI adapter " + m_name + " is not open");
    return *m_impl;
}

void CFtdiJTAG::Open()
{
    // An earlier implementation holds the device's interface, which a second
    // open cannot claim: it is closed first, so a failed Open leaves the
    // adapter closed.
    m_opened = false;
    m_impl.reset();
    std::lock_guard<std::recursive_mutex> claim(usb::CUsbInterface::ClaimMutex());
    m_impl = CreatePimpl(m_device, m_frequency, 1);
    m_opened = true;
}

void CFtdiJTAG::Close()
{
    m_opened = false;
    m_impl.reset();
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
    CFtdiJTAGImpl& impl = Impl();
    m_trst = level;
    impl.Reset(!level, !m_sysRst);
}

void CFtdiJTAG::SetSYS_RST(bool level)
{
    CFtdiJTAGImpl& impl = Impl();
    m_sysRst = level;
    impl.Reset(!m_trst, !level);
}

namespace {

unsigned int CheckedDRLength(int length)
{
    if (length < 0)
        throw std::logic_error("Invalid data register length " + std::to_string(length));
    return static_cast<unsigned int>(length);
}

}  // namespace

void CFtdiJTAG::AsyncShiftIR(unsigned int value, int length, TapStateMachine::State end)
{
    const ftdi::TapState state = ConvertTapStateType(end);
    CheckIRLength(length);
    Impl().AsyncShiftIR(value, length, state);
}

// A data scan of 0 bits has nothing to clock and nothing to deliver.
void CFtdiJTAG::AsyncShiftDR(const unsigned char* in, int length, TapStateMachine::State end)
{
    const ftdi::TapState state = ConvertTapStateType(end);
    CFtdiJTAGImpl& impl = Impl();
    if (CheckedDRLength(length) != 0)
        impl.AsyncShiftDR(in, length, state);
}

void CFtdiJTAG::AsyncWriteDR(const unsigned char* in, int length, TapStateMachine::State end)
{
    const ftdi::TapState state = ConvertTapStateType(end);
    CFtdiJTAGImpl& impl = Impl();
    if (CheckedDRLength(length) != 0)
        impl.AsyncWriteDR(in, length, state);
}

void CFtdiJTAG::Wait(std::vector<unsigned char>& out)
{
    CFtdiJTAGImpl& impl = Impl();
    out.clear();
    impl.Wait(out);
}

unsigned int CFtdiJTAG::ShiftIR(unsigned int value, int length, TapStateMachine::State end)
{
    const ftdi::TapState state = ConvertTapStateType(end);
    CheckIRLength(length);
    return Impl().ShiftIR(value, length, state);
}

void CFtdiJTAG::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapStateMachine::State end)
{
    const ftdi::TapState state = ConvertTapStateType(end);
    CFtdiJTAGImpl& impl = Impl();
    if (CheckedDRLength(length) != 0)
        impl.ShiftDR(in, out, length, state);
}

void CFtdiJTAG::RunTest(unsigned int count) { Impl().RunTest(count); }

void CFtdiJTAG::SetFrequency(unsigned int hertz) { Impl().SetFrequency(hertz); }

void CFtdiJTAG::DiscardResults()
{
    if (m_impl)
        m_impl->Discard();
}

namespace ftdi {

usb::Kind UsbKind()
{
    return {"ftdi", &IsFtdiJTAGBoard,
            [](struct usb_device* device, const std::string& name, const std::string& frequency,
               const AdapterContext& context) -> std::shared_ptr<CJTAG> {
                return std::make_shared<CFtdiJTAG>(device, name, frequency, context);
            }};
}

}  // namespace ftdi
