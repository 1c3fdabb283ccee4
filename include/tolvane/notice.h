// Message boxes become notices: a host installs a hook that shows them; the
// library never blocks on a dialog. Default: one line on stderr.
#pragma once

#include "tolvane/export.h"

namespace tolvane {

// `style` carries the message-box style bits (0x30: exclamation).
using NoticeHook = void (*)(const char* text, unsigned int style);

// Installs `hook` (null restores the default) and returns the previous one.
TOLVANE_API NoticeHook SetNoticeHook(NoticeHook hook);

}  // namespace tolvane
