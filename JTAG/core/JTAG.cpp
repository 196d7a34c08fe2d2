#include "JTAG/core/JTAG.h"

#include <stdexcept>
#include <string>

#include "log/Logger.h"

CJTAG::CJTAG(const AdapterContext& context) : m_context(context) {}

CJTAG::~CJTAG() {}

// Open and Close are pure with a body: each back-end calls these after its
// own work so the opened flag follows the transport.
void CJTAG::Open() { m_opened = true; }

void CJTAG::Close() { m_opened = false; }

bool CJTAG::IsOpened() { return m_opened.load(); }

void CJTAG::ResetAdapter() {}

void CJTAG::AsyncWriteDR(const unsigned char*, int, TapState)
{
    throw std::runtime_error("AsyncWriteDR ins't implemented!");
}

void CJTAG::RunTest(unsigned int) {}

int CJTAG::GetVersionNumber() const { return m_versionNumber; }

const std::string& CJTAG::GetVersionString() const { return m_versionString; }

const std::string& CJTAG::GetName() const { return m_name; }

const std::string& CJTAG::GetChipName() { return m_chipName; }

void CJTAG::SetChipName(const std::string& name) { m_chipName = name; }

const std::string& CJTAG::GetSerialNumberString() const
{
    static const std::string none;
    return none;
}

void CJTAG::SetFrequency(unsigned int)
{
    m_context.logger.LogVerb("PLL frequency is ignored.\n");
}

bool CJTAG::IsNamed(const std::string& name) const
{
    const std::string& own = GetName();
    return own.size() == name.size() && own.compare(name) == 0;
}

void CJTAG::CheckIRLength(int length)
{
    // The interface carries a 32-bit instruction register value; a longer or
    // non-positive length cannot be represented, so it is refused rather than
    // truncated.
    if (length < 1 || length > 32)
        throw std::logic_error("Invalid instruction register length " + std::to_string(length) +
                               " (1 to 32 bits)");
}

CNonAsyncJTAG::CNonAsyncJTAG(const AdapterContext& context) : CJTAG(context) {}

static size_t ResultBytes(int length)
{
    return length > 0 ? (static_cast<size_t>(length) + 7) / 8 : 0;
}

void CNonAsyncJTAG::AsyncShiftIR(unsigned int value, int length, TapState end)
{
    const unsigned int captured = ShiftIR(value, length, end);
    const size_t n = ResultBytes(length);
    for (size_t i = 0; i < n && i < 4; ++i)
        m_results.push_back(static_cast<unsigned char>(captured >> (8 * i)));
}

void CNonAsyncJTAG::AsyncShiftDR(const unsigned char* in, int length, TapState end)
{
    std::vector<unsigned char> captured(ResultBytes(length), 0);
    ShiftDR(in, captured.data(), length, end);
    m_results.insert(m_results.end(), captured.begin(), captured.end());
}

void CNonAsyncJTAG::AsyncWriteDR(const unsigned char* in, int length, TapState end)
{
    std::vector<unsigned char> scratch(ResultBytes(length), 0);
    ShiftDR(in, scratch.data(), length, end);
}

void CNonAsyncJTAG::Wait(std::vector<unsigned char>& out)
{
    out.assign(m_results.begin(), m_results.end());
    m_results.clear();
    // Results of a large batch are not kept for the adapter's lifetime.
    if (m_results.capacity() > (1u << 20))
        std::vector<unsigned char>().swap(m_results);
}

void CNonAsyncJTAG::DiscardResults() { m_results.clear(); }
