#pragma once

#include <QString>

// One download mirror of the pool: where it is, how many transfers it may
// serve at once and how many failures it has had. Copied by value; a
// download keeps a copy of the record of the mirror it uses.
struct FTPSiteAccessData
{
    // Name of the mirror (its group in mirrors.ini); the pool finds
    // records by it.
    QString name;
    // Base URL including the client version as last path element; a
    // transfer appends "/" and the file's remote path.
    QString url;
    // Failures tolerated; the mirror is retired once errorCount exceeds it.
    int retries = 0;
    // Stall limit of one transfer, in one-second progress ticks.
    int timeoutTicks = 15;
    // Failures counted so far.
    int errorCount = 0;
    // Transfers currently holding a slot of this mirror.
    int useCount = 0;
    // Most transfers at once from this mirror.
    int maxUseCount = 1;
};
