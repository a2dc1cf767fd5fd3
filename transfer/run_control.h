// The start and frame of korv: banner, switches, configuration, directory
// checks, log, net start-up, dial-up, the passes with their retries and the
// daemon wait, and the exit status (bit 0: send failed, bit 1: receive failed).
#pragma once

#include <string>

#include "config/mail_config.h"

namespace quorvexia {

int KorvMain(int argc, const char* const* argv);

// Directory rules of this platform: empty becomes ".", one trailing "/" goes
// (except from "/" itself).
void NormaliseDirectory(TextField<80>& dir);

}  // namespace quorvexia
