#pragma once

class QString;

// The interface through which every part of the tool reports progress and failures. This
// implementation discards every message: the tool is silent. A message is always built
// whole before the one call.
class Logger
{
public:
    virtual ~Logger();
    virtual void log(const QString &message);
};
