// Resource identifiers of ProbeAddr.exe (probeaddr.rc).
#pragma once

#define IDI_PROBEADDR 1
