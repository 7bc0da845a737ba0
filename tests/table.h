// A Qt Test table's columns, of the types given, by name: columns<QString, int>("text", "count").
#pragma once

#include <QtTest>

template <class... Types, class... Names>
void columns(Names... names) { (QTest::addColumn<Types>(names), ...); }

// The current row's values, of the types given, by column name: const auto [text, count] = fetch<QString, int>(...).
template <class... Types, class... Names>
std::tuple<Types...> fetch(Names... names)
{
    return {*static_cast<Types *>(QTest::qData(names, qMetaTypeId<Types>()))...};
}
