// The stop request of the Status channel.
#include "status.h"

bool g_stopRequested = false;
