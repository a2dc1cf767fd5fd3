// Placeholder for the receive phase until its session lands: it reports failure, never success.
#include "sessions.h"

namespace quorvexia {

int RunPop3Session() { return 1; }

}  // namespace quorvexia
