#pragma once

#include "publishinstruction.h"

#include <QList>
#include <QString>

// One full log made by the merge of a group of part files.
struct MergedLog
{
    QString path; // empty: the merge produced no full log
    int schema = 0;
    bool sendToKALDO = false;
    bool sendToTIRO = false;
    QList<SessionInfo> sessions;
    // A part ended in the middle (its product crashed): the session there is marked crashed.
    bool cutOff = false;
    // Why the harvest cannot carry the log, in an administrator's words: it is dropped, and its
    // sessions counted here are those that ended before that point. Empty for a log it carries.
    QString unfit;
};
