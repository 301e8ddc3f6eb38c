// Faults the user of an application must see even with the module's log
// off (the default): a daemon whose certificate does not verify, a
// configuration that names a daemon but cannot be used. They go to the log
// at ERROR and, once per distinct text, to standard error.
#pragma once

#include <string>

#include "log/log_target.h"

namespace talvoranth {

// Logs text at ERROR through log (when not null) and writes
// "vexa-pkcs11: <text>" to standard error, unless the text is the same as
// the last one written there (a reconnecting application repeats it).
void noticeUser(ILogTarget* log, const std::string& text);

}  // namespace talvoranth
