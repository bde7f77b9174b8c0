#include "eventlog.h"
#include "filelock.h"
#include "instanceguard.h"
#include "logfolder.h"
#include "logger.h"
#include "printable.h"
#include "vintor.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSettings>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

// Reads the two flags; false for anything else or for none, with the reason in `error`.
bool parseCommandLine(int argc, char *argv[], bool &forKaldo, bool &forTiro, QString &error)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-forKALDO") == 0) {
            forKaldo = true;
        } else if (std::strcmp(argv[i], "-forTIRO") == 0) {
            forTiro = true;
        } else {
            error = QStringLiteral("Wrong command line: unknown argument \"%1\".").arg(QString::fromLocal8Bit(argv[i]));
            return false;
        }
    }
    if (argc < 2) {
        error = QStringLiteral("Wrong command line: no argument.");
        return false;
    }
    return true;
}

// A console shows the usage text. A program without one leaves it, after the reason, to the
// event log, where whoever set up its scheduled task will look.
void reportUsageError(const char *program, const QString &reason)
{
    static const char second[] = "At least one of '-forKALDO' or '-forTIRO' must be specified.";
    if (isConsoleProgram()) {
        std::cerr << "Usage: " << printable(program) << " [-forKALDO] [-forTIRO]" << std::endl;
        std::cerr << second << std::endl;
        return;
    }
    const QString text = reason + QStringLiteral("\nUsage: ") + QString::fromLocal8Bit(program)
                         + QStringLiteral(" [-forKALDO] [-forTIRO]\n") + QLatin1String(second);
    reportAdminEvent(AdminEvent::UsageError, text.toStdWString());
}

// Every line the run writes to standard error, as a journal line of its own where standard error
// is the journal's stream: Qt's messages (the run's diagnostics and the transfer engine's traces
// at debug priority, Qt's own warnings at theirs) and the lock's reports (warnings), each one line
// with its control characters escaped, so that no name in it can start a line of its own.
void writeMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const int priority = type == QtWarningMsg ? 4 : type == QtCriticalMsg ? 3 : type == QtFatalMsg ? 2 : 7;
    const QString category = context.category && std::strcmp(context.category, "default") != 0
                                 ? QLatin1String(context.category) + QStringLiteral(": ")
                                 : QString();
    writeStandardErrorLine(priority, printable((category + message).toStdString()));
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

int main(int argc, char *argv[])
{
    // The Windows twin for scheduled runs has no console: whatever its parent handed it, it
    // writes nothing to the standard streams (its messages go to the event log).
    if (!isConsoleProgram())
        discardStandardStreams();
    qInstallMessageHandler(writeMessage);
    FileLock::reportLine = [](const std::string &line) { writeStandardErrorLine(4, line); };
    QCoreApplication app(argc, argv);

    bool forKaldo = false;
    bool forTiro = false;
    QString usageError;
    if (!parseCommandLine(argc, argv, forKaldo, forTiro, usageError)) {
        reportUsageError(argv[0], usageError);
        return 1;
    }
    if (forTiro && !forKaldo)
        return 0;

    // The transfer engine traces on the debug channel; a deployed tool stays silent unless
    // QT_LOGGING_RULES (for example "default.debug=true") asks for the traces.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    CategoryLogger logger;
    QCoreApplication::setOrganizationName(QStringLiteral("KALDO Technologies"));
    QCoreApplication::setApplicationName(QStringLiteral("Zadazevi Rerevarazu"));

    QSettings settings;
    if (settings.contains(QStringLiteral("DO_NOT_RUN_VINTOR")))
        return 0;

    // The guard belongs to the log folder itself, so it is claimed once the folder is known
    // and held until the run ends. Without a folder there is nothing to guard: the run stops.
    std::vector<std::wstring> tried;
    const QString folder = QString::fromStdWString(findLogFolder(currentUserName(), &tried));
    InstanceGuard guard(folder.toStdWString());
    if (!folder.isEmpty() && !guard.tryAcquire()) {
        if (guard.errorString().empty())
            logger.log(QStringLiteral("Another Vintor is already running, stopping."));
        else
            logger.log(QStringLiteral("Cannot take the guard of the log folder, stopping: ")
                       + QString::fromStdString(guard.errorString()));
        return 0;
    }

    logger.log(QStringLiteral("Vintor starting."));
    const QString serviceBase = QStringLiteral("https://" VINTOR_SERVICE_HOST);
    const QString wsUrl
        = settings.value(QStringLiteral("wsUrl"), serviceBase + QStringLiteral("/usagetracking/veri.asmx")).toString();
    const QString receiverUrl
        = settings.value(QStringLiteral("receiverUrl"), serviceBase + QStringLiteral("/usagetracking/post.track"))
              .toString();
    logger.logLazily([&] { return QStringLiteral("UT Receiver URL is: ") + receiverUrl; });
    logger.logLazily([&] { return QStringLiteral("UT WS URL is: ") + wsUrl; });

    int code = 0;
    {
        Vintor vintor(wsUrl, receiverUrl, &logger, forKaldo, forTiro);
        vintor.logFolder = folder;
        for (const std::wstring &path : tried)
            vintor.foldersTried.append(QString::fromStdWString(path));
        const QString debugDir = settings.value(QStringLiteral("Vintor Debug Dir"), QString()).toString();
        if (!debugDir.isEmpty())
            vintor.debugDir = debugDir;

        QTimer::singleShot(0, &vintor, &Vintor::main);
        code = QCoreApplication::exec();
        logger.log(QStringLiteral("Vintor stopping."));
    }
    return code;
}
