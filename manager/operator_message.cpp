// Operator messages for the acknowledge and delete actions.
#include "tolvane/CVeltAlmSummMgr.h"

// Lands with the operator-message work.
short CVeltAlmSummMgr::SendOperatorMessage(char*, char*, char*, short) { return -1; }
