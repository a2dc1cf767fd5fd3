// Placeholders for the transfer phases that are not built yet: they report
// failure, never success.
#include "sessions.h"

namespace quorvexia {

int RunSmtpSession() { return 1; }
int RunPop3Session() { return 1; }

}  // namespace quorvexia
