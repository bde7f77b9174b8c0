// A workstation's backlog: the same sessions (one small event each) harvested by the vintor
// binary against the reference service, once as that many one-session logs, as each session's
// log is now, and once as one log that holds them all. Prints each run's time and peak memory
// (through /usr/bin/time) and the ratio of the two, for each count given, and how the time of
// the one-session logs grows from the first count to the last, and the reference service's peak.
//
//   bench_backlog [sessions...=5000 10000 20000]

#include "benchhome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QByteArray session(int n)
{
    return "<session><sessionuuid>s-" + QByteArray::number(n) + "</sessionuuid><product><productid>"
           + QByteArray::number(12 + n % 3) + "</productid><productversion>4.2</productversion></product>"
           + "<computer><user><anon>user" + QByteArray::number(n) + "</anon></user></computer><country>US</country>"
           + "<event><feature>Open</feature><eventstarttime>2026-11-20T09:00:00</eventstarttime></event></session>\n";
}

bool writeLog(const QString &path, int first, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kaldousage><schema>3</schema><loguuid>l-"
               + QByteArray::number(first) + "</loguuid><logsequence>0</logsequence>"
               + "<logstatus kaldo=\"true\" admin=\"false\"/>\n");
    for (int n = first; n < first + count; ++n)
        file.write(session(n));
    return file.write("<logfinal>true</logfinal></kaldousage>\n") > 0 && file.flush();
}

struct Harvest
{
    double seconds = -1;
    long peakMb = 0;
    int received = 0;
};

// One run of vintor on a fresh home holding `logs` logs of `sessions / logs` sessions each.
Harvest harvest(const QString &folder, int port, int sessions, int logs)
{
    const QString home = folder + QStringLiteral("/home");
    const QString logFolder = prepareBenchHome(home, port);
    QDir(folder + QStringLiteral("/received")).removeRecursively();
    QDir().mkpath(folder + QStringLiteral("/received"));
    const int each = sessions / logs;
    for (int log = 0; log < logs; ++log) {
        if (!writeLog(logFolder + QStringLiteral("/b%1.0.xml").arg(log), log * each, each))
            return {};
    }
    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "TEMP", "TMPDIR" })
        environment.insert(QString::fromLatin1(name), home + QStringLiteral("/tmp"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    run.setProcessEnvironment(environment);
    run.setStandardOutputFile(QProcess::nullDevice());
    run.start(QStringLiteral("/usr/bin/time"),
              { QStringLiteral("-f"), QStringLiteral("%e %M"),
                QCoreApplication::applicationDirPath() + QStringLiteral("/vintor"), QStringLiteral("-forKALDO") });
    if (!run.waitForFinished(-1) || run.exitCode() != 0)
        return {};
    const QList<QByteArray> figures = run.readAllStandardError().trimmed().split('\n').last().split(' ');
    Harvest result;
    result.seconds = figures.value(0).toDouble();
    result.peakMb = figures.value(1).toLong() / 1024;
    result.received = QDir(folder + QStringLiteral("/received")).entryList(QDir::Files).size();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QList<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.append(atoi(argv[i]));
    if (counts.isEmpty())
        counts = { 5000, 10000, 20000 };
    QTemporaryDir folder;
    QFile policy(folder.filePath(QStringLiteral("policy")));
    if (!policy.open(QIODevice::WriteOnly) || policy.write("default Details 86400\n") < 0)
        return 1;
    policy.close();
    QProcess service;
    service.start(QCoreApplication::applicationDirPath() + QStringLiteral("/refservice"),
                  { QStringLiteral("--policy"), policy.fileName(), QStringLiteral("--receive-dir"),
                    folder.filePath(QStringLiteral("received")) });
    if (!service.waitForReadyRead(10000))
        return 1;
    const int port = service.readLine().trimmed().mid(18).toInt();
    double first = 0, last = 0;
    for (const int sessions : counts) {
        const Harvest many = harvest(folder.path(), port, sessions, sessions);
        const Harvest one = harvest(folder.path(), port, sessions, 1);
        if (many.seconds < 0 || one.seconds < 0)
            return 1;
        std::printf("%6d sessions: %6d one-session logs %7.2f s, peak %4ld MB (%d received); one log %6.2f s, peak "
                    "%4ld MB: %.1fx\n",
                    sessions, sessions, many.seconds, many.peakMb, many.received, one.seconds, one.peakMb,
                    many.seconds / qMax(one.seconds, 0.01));
        std::fflush(stdout);
        (first == 0 ? first : last) = many.seconds;
    }
    if (counts.size() > 1)
        std::printf("one-session logs, %d against %d: %.1fx the time\n", counts.last(), counts.first(), last / first);
    // The reference service's own peak, which must stay flat however many uploads it stored.
    QFile status(QStringLiteral("/proc/%1/status").arg(service.processId()));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                std::printf("reference service: peak %s\n", line.mid(6).simplified().constData());
    service.terminate();
    service.waitForFinished();
    return 0;
}
