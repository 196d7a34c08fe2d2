// TapStateMachine: the TMS routes between the TAP states a scan may end in
// (wire/TapState.h), for back-ends that clock TMS themselves, and the state
// such a back-end tracks.
#pragma once

#include <cstdint>
#include <string>

#include "wire/TapState.h"

class TapStateMachine {
public:
    // The end states of the wire (wire/TapState.h).
    using State = TapState;

    // TMS values to clock, bit 0 first, and the number of TCK clocks (1..6).
    struct Route {
        uint8_t tms;
        uint8_t count;
    };

    State GetState() const { return m_state; }
    void SetState(State state) { m_state = state; }

    // Route from the current state to target; throws std::runtime_error when
    // the table has none. Does not change the current state.
    Route GetRoute(State target) const;

    std::string GetTapStateName(State state) const;

private:
    State m_state = TapState::TEST_LOGIC_RESET;
};
