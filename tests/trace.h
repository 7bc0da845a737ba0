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
    // While the program runs the file ends in the zero bytes of its reserve.
    const QByteArray text = file.readAll();
    for (const QByteArray &line : text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0')).split('\n')) {
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
