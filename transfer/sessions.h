// The two transfer phases of a pass. Each runs one connection and returns 0
// when it ran to a normal end, 1 when it failed; either may end the run
// through FatalError.
#pragma once

namespace quorvexia {

int RunSmtpSession();
int RunPop3Session();

}  // namespace quorvexia
