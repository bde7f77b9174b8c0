#pragma once

#include <QString>

// The interface through which every part of the tool reports progress and failures. This
// implementation discards every message: the tool is silent.
class Logger
{
public:
    virtual ~Logger();
    virtual void log(const QString &message);
    // Whether messages go anywhere; this implementation discards them.
    virtual bool isEnabled() const;

    // Builds the message and logs it only when messages go somewhere: some messages hold
    // whole documents, which are not worth building to be discarded.
    template <typename Build> void logLazily(Build &&build)
    {
        if (isEnabled())
            log(build());
    }
};

// Sends each message to the logging category "vintor.run", which is off unless the
// administrator turns it on with the logging rules (QT_LOGGING_RULES="vintor.*=true", or the
// same rule in a qtlogging.ini); on Windows each message is an information event as well.
class CategoryLogger : public Logger
{
public:
    void log(const QString &message) override;
    bool isEnabled() const override;
};
