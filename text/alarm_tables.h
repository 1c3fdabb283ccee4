// The alarm dictionary tables: status, priority and message-type texts,
// looked up by id with fls_get_dct_text (text/dictionary.h).
#pragma once

#include "text/dictionary.h"

// Alarm status, by the low 16 bits of the packet's status code.
DictTable* dctcomn_proc_alm_table();
// Alarm priority (seven levels), by the packet's priority code.
DictTable* dctcomn_almpri7_table();
// Three-level priorities.
DictTable* dctcomn_almprio_table();
// Message types, by the packet's message type (8: operator message).
DictTable* dctcomn_almmsgtype_table();
