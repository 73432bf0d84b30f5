// The agent's name as the system knows it: the Windows service, and the
// source of its entries in the Application event log.
#pragma once

namespace cashdrawer::agent {

inline constexpr const char* kServiceName = "CashDrawerAgent";

} // namespace cashdrawer::agent
