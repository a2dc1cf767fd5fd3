// Placeholder for the send phase until its session lands: it reports failure, never success.
#include "sessions.h"

namespace quorvexia {

int RunSmtpSession() { return 1; }

}  // namespace quorvexia
