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
// administrator turns it on with QT_LOGGING_RULES (for example "vintor.*=true").
class CategoryLogger : public Logger
{
public:
    void log(const QString &message) override;
    bool isEnabled() const override;
};
