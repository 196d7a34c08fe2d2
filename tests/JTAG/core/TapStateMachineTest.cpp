// Every TMS route of TapStateMachine, clocked through the simulated TAP's
// own IEEE 1149.1 state function, must end in the state it is the route to.
#include <gtest/gtest.h>

#include <stdexcept>

#include "JTAG/core/TapStateMachine.h"
#include "sim/tap/SimTap.h"

namespace {

simtap::TapState SimState(TapState state)
{
    switch (state) {
    case TapState::TEST_LOGIC_RESET: return simtap::TapState::TestLogicReset;
    case TapState::RUN_TEST_IDLE: return simtap::TapState::RunTestIdle;
    case TapState::SHIFT_DR: return simtap::TapState::ShiftDR;
    case TapState::SHIFT_IR: return simtap::TapState::ShiftIR;
    case TapState::EXIT1_DR: return simtap::TapState::Exit1DR;
    case TapState::EXIT1_IR: return simtap::TapState::Exit1IR;
    case TapState::PAUSE_DR: return simtap::TapState::PauseDR;
    case TapState::PAUSE_IR: return simtap::TapState::PauseIR;
    }
    throw std::logic_error("no such state");
}

}  // namespace

TEST(TapStateMachine, EveryRouteEndsWhereItLeads)
{
    int routes = 0;
    for (int from = 0; from <= static_cast<int>(TapState::PAUSE_IR); ++from) {
        for (int to = 0; to <= static_cast<int>(TapState::PAUSE_IR); ++to) {
            TapStateMachine machine;
            machine.SetState(static_cast<TapState>(from));
            TapStateMachine::Route route;
            try {
                route = machine.GetRoute(static_cast<TapState>(to));
            } catch (const std::runtime_error&) {
                continue;  // no route in the table
            }
            ++routes;
            ASSERT_GE(route.count, 1) << from << "->" << to;
            ASSERT_LE(route.count, 6) << from << "->" << to;
            // Bits beyond the count are never clocked and must be clear.
            EXPECT_EQ(route.tms >> route.count, 0) << from << "->" << to;
            simtap::TapState state = SimState(static_cast<TapState>(from));
            for (int bit = 0; bit < route.count; ++bit)
                state = simtap::NextState(state, (route.tms >> bit) & 1);
            EXPECT_EQ(simtap::TapStateName(state), simtap::TapStateName(SimState(static_cast<TapState>(to))))
                << machine.GetTapStateName(static_cast<TapState>(from)) << " -> "
                << machine.GetTapStateName(static_cast<TapState>(to));
            EXPECT_EQ(static_cast<int>(machine.GetState()), from) << "GetRoute moved the state";
        }
    }
    // The table's eighteen routes, none lost.
    EXPECT_EQ(routes, 18);
    // A value outside the enum has a name clients know.
    EXPECT_EQ("UNKNOW_STATE", TapStateMachine().GetTapStateName(static_cast<TapState>(8)));
}
