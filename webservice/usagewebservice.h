#pragma once

#include "publishinstruction.h"

#include <QList>
#include <QUrl>
#include <QVector>

class Logger;
class QtSoapMessage;
class QtSoapStruct;

// The SOAP namespace of the maker's usage-tracking service.
extern const QString usageServiceNamespace;

// The client side of the `logsAvailable` exchange: tells the service which sessions the tool
// holds and turns its answer into publish instructions.
class UsageWebService
{
public:
    UsageWebService(const QString &serviceUrl, Logger *logger);

    // Appends one instruction per answered session; returns an empty text on success, else
    // the error text.
    QString logsAvailable(const QList<SessionInfo> &sessions, QVector<PublishInstruction> &instructions);

    static QtSoapStruct *buildSessionsArgument(const QList<SessionInfo> &sessions);
    QString parseLogsAvailableResponse(const QtSoapMessage &response, QVector<PublishInstruction> &instructions);

    QUrl url;

private:
    Logger *logger;
};
