// What every suite shares: a Qt Test table's columns and rows by name, files written and read whole, a file-size limit.
#pragma once

#include <QtTest>
#include <array>
#include <sys/resource.h>

template <class... Types, class... Names>
void columns(Names... names) { (QTest::addColumn<Types>(names), ...); }

// The current row's values, of the types given, by column name: const auto [text, count] = fetch<QString, int>(...).
template <class... Types, class... Names>
std::tuple<Types...> fetch(Names... names)
{
    return {*static_cast<Types *>(QTest::qData(names, qMetaTypeId<Types>()))...};
}

// A table of two text columns, named first, then a row each: its name and its two values.
inline void pairs(const char *first, const char *second, std::initializer_list<std::array<const char *, 3>> rows)
{
    columns<QString, QString>(first, second);
    for (const auto &[name, one, other] : rows)
        QTest::newRow(name) << QString(one) << QString(other);
}

inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}
// Writes `bytes` as the whole of the file at `path`.
inline bool put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Runs `code` with no file allowed past `bytes`, the limit as it was after.
template <class Code>
void underFileLimit(rlim_t bytes, Code code)
{
    rlimit usual;
    getrlimit(RLIMIT_FSIZE, &usual);
    const rlimit lowered{std::min(bytes, usual.rlim_max), usual.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lowered);
    code();
    setrlimit(RLIMIT_FSIZE, &usual);
}
