#include "JTAG/core/TapController.h"

#include <array>
#include <deque>

namespace {

using State = TapController::State;
constexpr unsigned kStates = 16;

// [state][tms]: IEEE 1149.1, figure 6-1.
const State kNext[kStates][2] = {
    {State::RunTestIdle, State::TestLogicReset},  // Test-Logic-Reset
    {State::RunTestIdle, State::SelectDR},        // Run-Test/Idle
    {State::CaptureDR, State::SelectIR},          // Select-DR
    {State::ShiftDR, State::Exit1DR},             // Capture-DR
    {State::ShiftDR, State::Exit1DR},             // Shift-DR
    {State::PauseDR, State::UpdateDR},            // Exit1-DR
    {State::PauseDR, State::Exit2DR},             // Pause-DR
    {State::ShiftDR, State::UpdateDR},            // Exit2-DR
    {State::RunTestIdle, State::SelectDR},        // Update-DR
    {State::CaptureIR, State::TestLogicReset},    // Select-IR
    {State::ShiftIR, State::Exit1IR},             // Capture-IR
    {State::ShiftIR, State::Exit1IR},             // Shift-IR
    {State::PauseIR, State::UpdateIR},            // Exit1-IR
    {State::PauseIR, State::Exit2IR},             // Pause-IR
    {State::ShiftIR, State::UpdateIR},            // Exit2-IR
    {State::RunTestIdle, State::SelectDR},        // Update-IR
};

unsigned Index(State state) { return static_cast<unsigned>(state); }

}  // namespace

TapController::State TapController::Next(State state, bool tms)
{
    return kNext[Index(state) % kStates][tms ? 1 : 0];
}

TapController::State TapController::FromWire(TapState state)
{
    switch (state) {
    case TapState::TEST_LOGIC_RESET: return State::TestLogicReset;
    case TapState::RUN_TEST_IDLE: return State::RunTestIdle;
    case TapState::SHIFT_DR: return State::ShiftDR;
    case TapState::SHIFT_IR: return State::ShiftIR;
    case TapState::EXIT1_DR: return State::Exit1DR;
    case TapState::EXIT1_IR: return State::Exit1IR;
    case TapState::PAUSE_DR: return State::PauseDR;
    case TapState::PAUSE_IR: return State::PauseIR;
    }
    return State::TestLogicReset;
}

bool TapController::ToWire(State state, TapState& wire)
{
    for (TapState candidate : {TapState::TEST_LOGIC_RESET, TapState::RUN_TEST_IDLE, TapState::SHIFT_DR,
                               TapState::SHIFT_IR, TapState::EXIT1_DR, TapState::EXIT1_IR, TapState::PAUSE_DR,
                               TapState::PAUSE_IR})
        if (FromWire(candidate) == state) {
            wire = candidate;
            return true;
        }
    return false;
}

TapStateMachine::Route TapController::ShortestRoute(State from, State to)
{
    // Breadth first over the sixteen states; the longest shortest route is
    // a handful of clocks, well inside the route's eight TMS bits.
    std::array<bool, kStates> seen{};
    std::deque<std::pair<State, TapStateMachine::Route>> queue{{from, {0, 0}}};
    seen[Index(from)] = true;
    while (!queue.empty()) {
        const auto [state, route] = queue.front();
        queue.pop_front();
        if (state == to)
            return route;
        for (int tms = 0; tms < 2; ++tms) {
            const State next = Next(state, tms != 0);
            if (seen[Index(next)])
                continue;
            seen[Index(next)] = true;
            queue.push_back({next, {static_cast<uint8_t>(route.tms | (tms << route.count)),
                                    static_cast<uint8_t>(route.count + 1)}});
        }
    }
    return {0, 0};  // every state reaches every other: not reached
}

TapStateMachine::Route TapController::RouteTo(State from, State to)
{
    if (to != State::ShiftDR && to != State::ShiftIR)
        return ShortestRoute(from, to);
    TapStateMachine::Route route = ShortestRoute(from, to == State::ShiftDR ? State::CaptureDR : State::CaptureIR);
    ++route.count;  // TMS 0: Capture to Shift
    return route;
}

const char* TapController::Name(State state)
{
    static const char* const names[kStates] = {
        "Test-Logic-Reset", "Run-Test/Idle", "Select-DR", "Capture-DR", "Shift-DR", "Exit1-DR",
        "Pause-DR",         "Exit2-DR",      "Update-DR", "Select-IR",  "Capture-IR", "Shift-IR",
        "Exit1-IR",         "Pause-IR",      "Exit2-IR",  "Update-IR",
    };
    return names[Index(state) % kStates];
}
