#pragma once

#include <QDir>
#include <QSettings>
#include <QString>

// A fresh home for one harvest by the vintor binary: its log folder (returned), made empty, under
// `home`/tmp, and its settings pointing at the reference service on `port`, with no store.
inline QString prepareBenchHome(const QString &home, int port)
{
    QDir(home).removeRecursively();
    const QString logs = home + QStringLiteral("/tmp/KALDO Technologies/Zadazevi Rerevarazu Logs");
    QDir().mkpath(logs);
    QSettings settings(home + QStringLiteral("/config/KALDO Technologies/Zadazevi Rerevarazu.conf"),
                       QSettings::IniFormat);
    const QString base = QStringLiteral("http://127.0.0.1:%1/usagetracking/").arg(port);
    settings.setValue(QStringLiteral("wsUrl"), base + QStringLiteral("veri.asmx"));
    settings.setValue(QStringLiteral("receiverUrl"), base + QStringLiteral("post.track"));
    settings.sync();
    return logs;
}
