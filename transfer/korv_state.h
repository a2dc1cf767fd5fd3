// The process-wide values of korv that several of its parts read: one
// configuration record image, the run's switches and directories, and the
// flags by which the sessions tell the run control what happened.
#pragma once

#include <string>

#include "config/mail_config.h"

namespace quorvexia {

extern MailConfig mailConfig;   // loaded at start-up, rewritten after every POP3 connection
extern bool debugMode;          // /debug: protocol echo on, progress indicator off
extern std::string programDir;  // where korv.cfg lives; the working directory of the run
extern std::string startDir;    // restored on every way out
extern bool mailReceived;       // a pass stored new mail (ends daemon mode)

}  // namespace quorvexia
