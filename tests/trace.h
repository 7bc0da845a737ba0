// Reading the port library's trace file in tests.
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <vector>

struct TraceLine {
    long long time;
    int address;
    int value;
};

inline std::vector<TraceLine> readTrace(const QString &path)
{
    std::vector<TraceLine> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3)
            lines.push_back({fields[0].toLongLong(), fields[1].toInt(), fields[2].toInt()});
    }
    return lines;
}

// A fresh trace file under the test's own build folder.
inline QString freshTrace(const QString &dir, const QString &name)
{
    const QString path = dir + "/" + name + ".trace";
    QFile::remove(path);
    return path;
}
