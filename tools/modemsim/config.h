// The bank's configuration file: one statement a line, "#" starts a comment. Times are
// milliseconds of driver time (scaled by KORVA_TIME_SCALE like the driver's own).
//
//   modem DEVICE NUMBER PORT              a modem on serial port DEVICE (COMn) with phone
//                                         NUMBER ("-" for none), served on 127.0.0.1:PORT
//                                         (0: any free port)
//   station NUMBER echo                   a remote station that sends back what it receives
//   station NUMBER reply REQUEST REPLY    answers REQUEST with REPLY (both hexadecimal)
//   station NUMBER any REPLY              answers any other data with REPLY (hexadecimal)
//   station NUMBER delay MS               its replies arrive MS after the request
//   outcome NUMBER busy|noanswer|nocarrier|nodialtone [MS]
//                                         dialling NUMBER gives that result (after MS, 1000)
//   unknown busy|noanswer|nocarrier|nodialtone [MS]
//                                         what a number nobody has gives (NO CARRIER)
//   connect-delay MS                      carrier handshake after the called end answers (1000)
//   ring-cadence PERIOD ON                a ring every PERIOD, RI on for ON of it (2000 1000)
//   connect-speed DEVICE BPS              the speed in the modem's CONNECT message (2400)
//   fault DEVICE NAME on [AFTER [TIMES]]  a fault from the start (see the fault command)
#pragma once

#include <string>

#include "bank.h"

namespace modemsim {

// Builds the bank from the file at `path`; false with "path:line: message" in `error`.
bool ReadConfig(const std::string& path, Bank& bank, std::string& error);

}  // namespace modemsim
