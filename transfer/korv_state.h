// The process-wide values of korv that several of its parts read: the
// configuration record as loaded (and with its directories normalised), the
// side file beside it, and the /debug switch.
#pragma once

#include "config/mail_config.h"
#include "config/side_file.h"

namespace quorvexia {

extern MailConfig mailConfig;  // loaded at start-up; the sessions get it passed in
extern SideSettings sideSettings;  // korv.conf, loaded with it (empty when there is none)
extern bool debugMode;         // /debug: protocol echo on, progress indicator off

}  // namespace quorvexia
