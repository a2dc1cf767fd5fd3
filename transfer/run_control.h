// The start and frame of korv: banner, switches, configuration, directory
// checks, log, net start-up, dial-up, the passes with their retries and the
// daemon wait, and the exit status (bit 0: send failed, bit 1: receive failed).
#pragma once

#include <string>

#include "config/mail_config.h"

namespace quorvexia {

// The whole run; the exit status. Every FatalError ends up here.
int KorvMain(int argc, const char* const* argv);

// The last steps of every run, also after a FatalError: closes the log,
// changes back to `startDir` and makes the console output complete.
int EndRun(int status, const std::string& startDir);

// Directory rules of this platform: empty becomes ".", one trailing "/" goes
// (except from "/" itself).
void NormaliseDirectory(TextField<80>& dir);

}  // namespace quorvexia
