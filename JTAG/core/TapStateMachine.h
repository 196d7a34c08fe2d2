// TapStateMachine: the TMS routes between the TAP states a scan may end in
// (wire/TapState.h), for back-ends that clock TMS themselves (J-Link, FTDI),
// and the state such a back-end tracks. There is one route table; every
// back-end that computes TMS takes its moves from it, so the same request
// passes the same TAP states on every adapter kind.
//
// The routes are the shortest IEEE 1149.1 paths, with one rule: a route into
// a Shift state passes Capture, so a register resumed from Pause (or from
// Exit1, or left resting in Shift) is updated and captured again, never
// continued through Exit2. No route leads into Exit1: only the last bit of a
// scan, clocked with TMS high by the back-end, gets there.
#pragma once

#include <cstdint>
#include <string>

#include "wire/TapState.h"

class TapStateMachine {
public:
    // The end states of the wire (wire/TapState.h).
    using State = TapState;

    // TMS values to clock, bit 0 first, and the number of TCK clocks
    // (1..kMaxRouteClocks, so that a route fits one MPSSE TMS command).
    struct Route {
        uint8_t tms;
        uint8_t count;
    };
    static constexpr unsigned kMaxRouteClocks = 7;

    State GetState() const { return m_state; }
    void SetState(State state) { m_state = state; }

    // Route from the current state to target; throws std::runtime_error when
    // the table has none. Does not change the current state.
    Route GetRoute(State target) const;

    std::string GetTapStateName(State state) const { return StateName(state); }

    // The route between two states, or std::runtime_error "A transition from
    // FROM to TO is not specified."
    static Route RouteBetween(State from, State to);
    static bool HasRoute(State from, State to);
    // The name a state has in messages: "PAUSE_DR", "UNKNOW_STATE" for a
    // value outside the enum.
    static std::string StateName(State state);

    // EXIT1_DR for SHIFT_DR, EXIT1_IR for SHIFT_IR: where a scan's last bit
    // leaves the register.
    static State ExitOf(State shift);
    // Whether a scan through `shift` can end in `end`: its Exit1 state, or
    // any state the table routes to from there. Throws the missing-route
    // error otherwise (for values outside the enum too), before anything is
    // clocked.
    static void CheckScanEnd(State shift, State end);

private:
    State m_state = TapState::TEST_LOGIC_RESET;
};
