// TapController: the sixteen states of an IEEE 1149.1 TAP controller and
// its TMS transitions, for adapters that clock raw TMS sequences
// (CJTAG::ClockSequence) and so must know where the TAP ended: a sequence
// may leave it in any of the sixteen, a scan only in one of the eight of
// wire/TapState.h.
#pragma once

#include <cstdint>

#include "JTAG/core/TapStateMachine.h"

class TapController {
public:
    enum class State : uint8_t {
        TestLogicReset,
        RunTestIdle,
        SelectDR,
        CaptureDR,
        ShiftDR,
        Exit1DR,
        PauseDR,
        Exit2DR,
        UpdateDR,
        SelectIR,
        CaptureIR,
        ShiftIR,
        Exit1IR,
        PauseIR,
        Exit2IR,
        UpdateIR,
    };

    // The state after one TCK rising edge with this TMS level.
    static State Next(State state, bool tms);
    static State FromWire(TapState state);
    // The wire's state when `state` is one of its eight; false otherwise.
    static bool ToWire(State state, TapState& wire);
    // The shortest TMS route between two states (bit 0 clocked first; no
    // clocks when they are the same).
    static TapStateMachine::Route ShortestRoute(State from, State to);
    // The route by TapStateMachine's rule, for states its table does not
    // start from: the shortest, but into a Shift state always through
    // Capture (a register is captured again, never continued from Exit2).
    static TapStateMachine::Route RouteTo(State from, State to);
    // "Select-DR", "Exit2-IR", ... (IEEE 1149.1's names).
    static const char* Name(State state);
};
