// The numbers the exports publish for each result: the one place where the
// library's reasons collapse into the four values callers have always seen.
#pragma once

#include "cash_drawer.h"
#include "hardware/result.h"

namespace cashdrawer {

constexpr int PublicResult(Result result) {
    switch (result) {
    case Result::Ok: return CASH_DRAWER_KICKED;
    case Result::StateBit1: return CASH_DRAWER_STATE_1;
    case Result::StateBit0: return CASH_DRAWER_STATE_0;
    case Result::UnknownDrawer: return CASH_DRAWER_UNKNOWN_ID;
    default: return CASH_DRAWER_UNREACHABLE; // every reason the hardware was not reached
    }
}

} // namespace cashdrawer
