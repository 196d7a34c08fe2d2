// CJTAG: the abstract JTAG adapter every back-end implements.
//
// Conventions of the whole interface:
//  - n bits travel in (n + 7) / 8 bytes; bit k is bit (k mod 8) of byte k / 8
//    and bit 0 is shifted first.
//  - An instruction register value is an unsigned 32-bit integer, bit 0 first;
//    ShiftIR/AsyncShiftIR lengths are 1..32. Every back-end refuses other
//    lengths (including negative ones) with std::logic_error naming the length.
//  - Reset lines are levels: true is high (released), false drives them low.
//  - Frequencies are in hertz, memory addresses are 32-bit target addresses.
//  - Failures are exceptions derived from std::runtime_error (std::logic_error
//    for arguments a back-end cannot represent); nothing returns error codes.
#pragma once

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/core/AdapterContext.h"
#include "JTAG/core/TapStateMachine.h"

class CJTAG {
public:
    explicit CJTAG(const AdapterContext& context);
    virtual ~CJTAG();

    CJTAG(const CJTAG&) = delete;
    CJTAG& operator=(const CJTAG&) = delete;

    virtual void Open() = 0;
    virtual bool IsOpened();
    virtual void ResetAdapter();
    virtual void Close() = 0;
    virtual void ReadMemBlk(unsigned int address, void* buffer, unsigned int size) = 0;
    virtual void WriteMemBlk(unsigned int address, const void* data, unsigned int size) = 0;
    virtual void SetTRST(bool level) = 0;
    virtual void SetSYS_RST(bool level) = 0;
    virtual void AsyncShiftIR(unsigned int value, int length, TapState end) = 0;
    virtual void AsyncShiftDR(const unsigned char* in, int length, TapState end) = 0;
    virtual void AsyncWriteDR(const unsigned char* in, int length, TapState end);
    virtual void Wait(std::vector<unsigned char>& out) = 0;
    virtual unsigned int ShiftIR(unsigned int value, int length, TapState end) = 0;
    virtual void ShiftDR(const unsigned char* in, unsigned char* out, int length,
                         TapState end) = 0;
    virtual void RunTest(unsigned int count);
    virtual int GetVersionNumber() const;
    virtual const std::string& GetVersionString() const;
    virtual const std::string& GetName() const;
    virtual const std::string& GetChipName();
    virtual void SetChipName(const std::string& name);
    virtual void SetFrequency(unsigned int hertz);
    // The serial number the adapter reports (its USB serial number string),
    // empty when it reports none (the adapter list then carries none for it).
    virtual const std::string& GetSerialNumberString() const;

    // Raw JTAG sequences: clocks `bits` TCK cycles, driving bit k of `tms`
    // and of `tdi` in cycle k, and stores the TDO bit sampled at the rising
    // edge of cycle k in bit k of `tdo` ((bits + 7) / 8 bytes; the bits above
    // `bits` in the last byte are zero). The TAP ends wherever the TMS bits
    // lead, in any of its sixteen states (Shift-DR between two sequences is
    // the point: a bridge resumes a scan there).
    //
    // The tracked TAP state follows the TMS bits: an adapter that clocks TMS
    // routes itself walks them through the IEEE 1149.1 transitions from the
    // state the last scan, reset or sequence left, so a later ShiftIR,
    // ShiftDR or RunTest starts from where the sequence really ended (also
    // from Select, Capture, Update or Exit2, which no scan ends in).
    //
    // Adapters whose device takes whole scans only refuse every sequence,
    // one of 0 bits included (which clocks nothing, so a client can ask
    // before it needs one), with std::logic_error "NAME cannot clock raw
    // JTAG sequences: REASON".
    virtual void ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                               unsigned int bits);

    // Drops results of queued scans that no Wait has collected yet, so a batch
    // that failed part-way never leads the next batch. Adapters that queue
    // nothing have nothing to drop.
    virtual void DiscardResults() {}

    // Exact, case-sensitive comparison with GetName().
    bool IsNamed(const std::string& name) const;

    // Long operations (a RunTest of millions of clocks that takes many probe
    // commands) ask between their pieces whether anyone still waits for the
    // result: the session running a command sets a check of its client's
    // connection, and clears it when it lets the adapter go. Without a check
    // the result is always wanted.
    void SetStillWanted(std::function<bool()> check) { m_stillWanted = std::move(check); }

protected:
    // Stops the operation with std::runtime_error when nobody waits for it.
    void CheckStillWanted(const char* operation) const
    {
        if (m_stillWanted && !m_stillWanted())
            throw std::runtime_error(std::string(operation) + " stopped: its client has gone");
    }

    // Throws std::logic_error unless 1 <= length <= 32.
    static void CheckIRLength(int length);
    // The refusal of ClockSequence, naming this adapter and `why`.
    [[noreturn]] void RefuseSequences(const std::string& why) const;
    // For adapters whose device ends every scan in Run-Test/Idle by itself
    // (the EZ-USB firmware, a network peer): the end states that give the
    // same answers there are accepted, RUN_TEST_IDLE and the scan's own
    // EXIT1 and PAUSE states (a scan resumed from those is updated and
    // captured again, as after Run-Test/Idle). Any other end state, which
    // would leave the TAP elsewhere, is refused with std::logic_error naming
    // the adapter, the scan and the state, before anything is sent.
    void CheckIdleEnd(TapState shift, TapState end) const;

    // Read by the holder's re-enumeration while the owning session may be
    // closing the adapter on another thread.
    std::atomic<bool> m_opened{false};
    bool m_trst = true;
    bool m_sysRst = true;
    AdapterContext m_context;
    int m_versionNumber = -1;
    std::string m_versionString = "Unknown";
    std::string m_name = "Unknown JTAG adapter";
    std::string m_chipName = "Unknown chip";
    std::string m_serialNumber;
    std::function<bool()> m_stillWanted;
};

// Back-ends without batching: every asynchronous scan runs at once through
// the synchronous operation and only its result is kept for the next Wait.
class CNonAsyncJTAG : public CJTAG {
public:
    explicit CNonAsyncJTAG(const AdapterContext& context);

    void AsyncShiftIR(unsigned int value, int length, TapState end) override;
    void AsyncShiftDR(const unsigned char* in, int length, TapState end) override;
    void AsyncWriteDR(const unsigned char* in, int length, TapState end) override;
    void Wait(std::vector<unsigned char>& out) override;
    void DiscardResults() override;

protected:
    std::vector<unsigned char> m_results;
};

enum IdCodes {
    IDCODE_NONE = 0,
    // Instruction after which the maker's adapter answers data scans with the
    // chip's identification code (TRST release loads it).
    IDCODE_KORSEL = 3,
};

template <IdCodes Code>
class CJTAG_With_IdCode : public CNonAsyncJTAG {
public:
    static constexpr IdCodes IdCode = Code;
    explicit CJTAG_With_IdCode(const AdapterContext& context) : CNonAsyncJTAG(context) {}
};
