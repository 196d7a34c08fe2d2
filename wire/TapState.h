// The TAP states a scan may end in. Command bodies carry them as 32-bit
// words with these values (the end state of CMD_SHIFT_IR, CMD_SHIFT_DR and
// the scans of a batch), and adapters take them as they come.
#pragma once

#include <cstdint>

enum class TapState : int32_t {
    TEST_LOGIC_RESET = 0,
    RUN_TEST_IDLE = 1,
    SHIFT_DR = 2,
    SHIFT_IR = 3,
    EXIT1_DR = 4,
    EXIT1_IR = 5,
    PAUSE_DR = 6,
    PAUSE_IR = 7,
};
